// The preview pane on files of every kind it tells apart.
#include "gui/explorer.h"

#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

using brevant::gui::CExplorer1;
using View = CExplorer1::View;

class ExplorerTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString Write(const QString& name, const QByteArray& bytes) {
    const QString path = dir_.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
      qFatal("cannot write %s", qPrintable(path));
    return path;
  }
  std::unique_ptr<CExplorer1> Pane() {
    auto pane = std::make_unique<CExplorer1>();
    pane->resize(400, 300);
    pane->show();
    if (!QTest::qWaitForWindowExposed(pane.get())) qWarning("pane not exposed");
    return pane;
  }
  static QImage Picture(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(30, 160, 90));
    QPainter(&image).fillRect(0, 0, w / 2, h / 2, Qt::red);
    return image;
  }

 private slots:
  void imagesOfEveryFormatAreScaledToFit() {
    auto pane = Pane();
    // The formats the image plug-ins add besides the built-in ones.
    const auto writable = QImageWriter::supportedImageFormats();
    for (const char* format : {"png", "jpg", "bmp", "ppm", "tiff", "webp"}) {
      QVERIFY2(writable.contains(format), format);
      const QString path = dir_.filePath(QStringLiteral("big.") + format);
      QVERIFY(Picture(1600, 800).save(path, format));
      pane->Navigate(path);
      QCOMPARE(pane->CurrentView(), View::Image);
      QCOMPARE(pane->ShownImage().size(), QSize(1600, 800));
      const QSize shown = pane->ImageDisplaySize();
      QVERIFY2(shown.width() <= 400 && shown.height() <= 300, format);
      QCOMPARE(shown.width(), shown.height() * 2);  // the aspect stays
      QVERIFY(shown.width() >= 300);
    }
    // A small picture is not enlarged.
    const QString small = dir_.filePath(QStringLiteral("icon.png"));
    QVERIFY(Picture(16, 8).save(small));
    pane->Navigate(small);
    QCOMPARE(pane->ImageDisplaySize(), QSize(16, 8));
    // The name does not decide: a PNG named .txt is a picture, random bytes named .jpg are not.
    QFile::copy(small, dir_.filePath(QStringLiteral("really-a-picture.txt")));
    pane->Navigate(dir_.filePath(QStringLiteral("really-a-picture.txt")));
    QCOMPARE(pane->CurrentView(), View::Image);
    QByteArray noise(5000, '\0');
    for (int i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
    pane->Navigate(Write(QStringLiteral("photo.jpg"), noise));
    QCOMPARE(pane->CurrentView(), View::Hex);
  }

  void textInItsEncoding() {
    auto pane = Pane();
    struct Case {
      const char* name;
      QByteArray bytes;
      QString text;
    } cases[] = {
        {"utf8.txt", QByteArray("\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 2024\n"),
         QString::fromUtf8("Отчёт 2024\n")},
        {"bom8.txt", QByteArray("\xEF\xBB\xBFhi"), QStringLiteral("hi")},
        {"le.txt", QByteArray("\xFF\xFE\x2A\x04\x30\x00", 6), QString::fromUtf8("Ъ0")},
        {"be.txt", QByteArray("\xFE\xFF\x04\x2A\x00\x30", 6), QString::fromUtf8("Ъ0")},
        {"oem.txt", QByteArray("caf\x82 men\x81"), QString::fromUtf8("café menü")},
        {"latin1.txt", QByteArray("caf\xE9 cr\xE8me"), QString::fromUtf8("café crème")},
        {"README", QByteArray("all: brevant\n\tmake\r\n"),
         QStringLiteral("all: brevant\n\tmake\n")},
    };
    for (const Case& c : cases) {
      const QString path = Write(QString::fromLatin1(c.name), c.bytes);
      pane->Navigate(path);
      QCOMPARE(pane->CurrentView(), View::Text);
      QCOMPARE(pane->ShownText(), c.text);
      QVERIFY(pane->HeaderText().startsWith(path));
    }
    // Longer text is read up to the limit, and says so.
    pane->SetTextLimit(100);
    pane->Navigate(Write(QStringLiteral("long.txt"), QByteArray(1000, 'a')));
    QCOMPARE(pane->ShownText().size(), 100);
    QVERIFY2(pane->HeaderText().contains(QStringLiteral("first 100 bytes of 1000 bytes")),
             qPrintable(pane->HeaderText()));
  }

  void htmlAsRichTextWithNothingLoaded() {
    auto pane = Pane();
    const QString secret = Write(QStringLiteral("secret.png"), QByteArray());
    QVERIFY(Picture(20, 20).save(secret));
    const QByteArray page =
        "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"http://127.0.0.1:9/x.css\">"
        "</head><body><h1>Recovered page</h1><img src=\"file://" +
        secret.toUtf8() +
        "\">"
        "<img src=\"" +
        secret.toUtf8() +
        "\"><img src=\"secret.png\">"
        "<img src=\"http://127.0.0.1:9/y.png\">"
        "<p>Body text</p><a href=\"http://127.0.0.1:9/\">link</a></body></html>";
    pane->Navigate(Write(QStringLiteral("saved"), page));  // no extension: the content says HTML
    QCOMPARE(pane->CurrentView(), View::Html);
    QVERIFY(pane->ShownText().contains(QStringLiteral("Recovered page")));
    QVERIFY(pane->ShownText().contains(QStringLiteral("Body text")));
    // Lay out and draw: the images are asked for now, and none of the picture's pixels shows.
    const QImage shown = pane->grab().toImage();
    QVERIFY(pane->Html()->RefusedResources() >= 4);
    for (int y = 0; y < shown.height(); ++y)
      for (int x = 0; x < shown.width(); ++x)
        QVERIFY(shown.pixelColor(x, y) != QColor(30, 160, 90));
    for (const QString& url :
         {QStringLiteral("file://") + secret, secret, QStringLiteral("secret.png")})
      QCOMPARE(qvariant_cast<QImage>(
                   pane->Html()->document()->resource(QTextDocument::ImageResource, QUrl(url)))
                   .size(),
               QSize(1, 1));
    QVERIFY(!pane->Html()->openLinks());
    QVERIFY(!pane->Html()->openExternalLinks());
  }

  void lineWithoutBreaksAsHex() {
    // A fresh $LogFile is megabytes of 0xFF: it reads as Latin-1 but is one endless line,
    // whose layout froze the window.
    auto pane = Pane();
    pane->Navigate(Write(QStringLiteral("$LogFile"), QByteArray(2 << 20, '\xFF')));
    QCOMPARE(pane->CurrentView(), View::Hex);
    pane->Navigate(Write(QStringLiteral("notes.txt"), QByteArray("short\nlines\n").repeated(1000)));
    QCOMPARE(pane->CurrentView(), View::Text);
  }

  void binaryAsPagedHex() {
    auto pane = Pane();
    QByteArray bytes;
    for (int i = 0; i < 40; ++i) bytes.append(static_cast<char>(i * 9));
    bytes[16] = 'A';
    bytes[17] = 'B';
    pane->Navigate(Write(QStringLiteral("data.dat"), bytes));
    QCOMPARE(pane->CurrentView(), View::Hex);
    QCOMPARE(pane->Hex()->LineCount(), 3);
    QCOMPARE(pane->Hex()->LineText(0),
             QStringLiteral(
                 "00000000  00 09 12 1b 24 2d 36 3f  48 51 5a 63 6c 75 7e 87  |....$-6?HQZclu~.|"));
    QCOMPARE(pane->Hex()->LineText(1),
             QStringLiteral(
                 "00000010  41 42 a2 ab b4 bd c6 cf  d8 e1 ea f3 fc 05 0e 17  |AB..............|"));
    QVERIFY(
        pane->Hex()->LineText(2).startsWith(QStringLiteral("00000020  20 29 32 3b 44 4d 56 5f")));
    QVERIFY(pane->Hex()->LineText(3).isEmpty());
  }

  void fileOfGigabytesOpensAtOnce() {
    auto pane = Pane();
    const QString path = dir_.filePath(QStringLiteral("huge.img"));
    {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(5ll << 30));  // sparse: nothing is written but the size
      QVERIFY(f.seek((5ll << 30) - 4));
      f.write("TAIL", 4);
    }
    pane->Navigate(path);
    QCOMPARE(pane->CurrentView(), View::Hex);
    HexViewCheck(*pane->Hex(), 5ll << 30);
  }

  void pathWithoutAFileSaysWhy() {
    auto pane = Pane();
    pane->Navigate(Write(QStringLiteral("shown.txt"), "x"));
    const QString missing = dir_.filePath(QStringLiteral("never written.txt"));
    pane->Navigate(missing, QStringLiteral("sector 4711 could not be read"));
    QCOMPARE(pane->CurrentView(), View::Failure);
    QVERIFY(pane->ShownText().contains(missing));
    QVERIFY(pane->ShownText().contains(QStringLiteral("sector 4711 could not be read")));
    pane->Navigate(QString());
    QCOMPARE(pane->CurrentView(), View::Failure);
    QVERIFY(!pane->ShownText().isEmpty());
  }

  void busyUntilTheNextPage() {
    auto pane = Pane();
    pane->SetBusy(QStringLiteral("letter.txt"));
    QCOMPARE(pane->CurrentView(), View::Busy);
    QVERIFY(pane->ShownText().contains(QStringLiteral("letter.txt")));
    pane->Navigate(Write(QStringLiteral("letter.txt"), "Dear reader"));
    QCOMPARE(pane->CurrentView(), View::Text);
  }

 private:
  void HexViewCheck(brevant::gui::HexView& hex, qint64 size) {
    QCOMPARE(hex.FileSize(), size);
    QCOMPARE(hex.LineCount(), size / 16);
    QCOMPARE(hex.FirstVisibleLine(), 0);
    hex.ScrollToLine(hex.LineCount());
    QVERIFY(hex.FirstVisibleLine() > hex.LineCount() - 100);
    const QString last = hex.LineText(hex.LineCount() - 1);
    QVERIFY2(last.startsWith(QStringLiteral("00013ffffff0  00 00")), qPrintable(last));
    QVERIFY2(last.endsWith(QStringLiteral("|............TAIL|")), qPrintable(last));
    hex.grab();  // draws the last page
  }
};

QTEST_MAIN(ExplorerTest)
#include "explorer_test.moc"

#include "gui/explorer.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <span>

#include "fat/codepage.h"
#include "model/preview_rules.h"

namespace brevant::gui {
namespace {

constexpr int kBytesPerLine = 16;
// Larger pictures are decoded scaled down, so a crafted image cannot claim gigabytes of memory.
constexpr qint64 kMaxImagePixels = 64ll << 20;

QString FileSizeText(qint64 bytes) {
  return QLocale::c().toString(bytes) + QStringLiteral(" bytes");
}

QString Decode(const QByteArray& bytes, ui::TextReading reading, int oemCodePage) {
  const char* data = bytes.constData() + reading.bomBytes;
  const qsizetype n = bytes.size() - static_cast<qsizetype>(reading.bomBytes);
  switch (reading.encoding) {
    case ui::TextEncoding::Utf16Le:
    case ui::TextEncoding::Utf16Be: {
      QString text(n / 2, Qt::Uninitialized);
      const bool le = reading.encoding == ui::TextEncoding::Utf16Le;
      for (qsizetype i = 0; i < n / 2; ++i) {
        const auto lo = static_cast<unsigned char>(data[2 * i + (le ? 0 : 1)]);
        const auto hi = static_cast<unsigned char>(data[2 * i + (le ? 1 : 0)]);
        text[i] = QChar(static_cast<char16_t>(lo | (hi << 8)));
      }
      return text;
    }
    case ui::TextEncoding::Oem: {
      QString text(n, Qt::Uninitialized);
      for (qsizetype i = 0; i < n; ++i)
        text[i] = QChar(fat::OemToUnicode(oemCodePage, static_cast<std::uint8_t>(data[i])));
      return text;
    }
    case ui::TextEncoding::Latin1:
      return QString::fromLatin1(data, n);
    default:
      return QString::fromUtf8(data, n);
  }
}

}  // namespace

// ---- HexView ----

HexView::HexView(QWidget* parent) : QAbstractScrollArea(parent) {
  viewport()->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(),
          qOverload<>(&QWidget::update));
}

bool HexView::Open(const QString& path) {
  Close();
  file_.setFileName(path);
  if (!file_.open(QIODevice::ReadOnly)) return false;
  size_ = file_.size();
  offsetDigits_ = size_ > 0xFFFFFFFFll ? 12 : 8;
  UpdateScrollBar();
  verticalScrollBar()->setValue(0);
  viewport()->update();
  return true;
}

void HexView::Close() {
  file_.close();
  size_ = 0;
  UpdateScrollBar();
}

int HexView::VisibleLines() const {
  const int lineHeight = std::max(1, QFontMetrics(viewport()->font()).height());
  return std::max(1, viewport()->height() / lineHeight);
}

void HexView::UpdateScrollBar() {
  const qint64 maxLine = std::max<qint64>(0, LineCount() - VisibleLines());
  linesPerStep_ = std::max<qint64>(1, (maxLine + INT_MAX - 1) / INT_MAX);
  verticalScrollBar()->setRange(0, static_cast<int>(maxLine / linesPerStep_));
  verticalScrollBar()->setPageStep(
      static_cast<int>(std::max<qint64>(1, VisibleLines() / linesPerStep_)));
  verticalScrollBar()->setSingleStep(1);
}

qint64 HexView::FirstVisibleLine() const {
  const qint64 maxLine = std::max<qint64>(0, LineCount() - VisibleLines());
  return std::min(maxLine, verticalScrollBar()->value() * linesPerStep_);
}

void HexView::ScrollToLine(qint64 line) {
  verticalScrollBar()->setValue(static_cast<int>(
      std::clamp<qint64>(line / linesPerStep_, 0, verticalScrollBar()->maximum())));
}

QString HexView::LineText(qint64 line) const {
  if (line < 0 || line >= LineCount() || !file_.isOpen() || !file_.seek(line * kBytesPerLine))
    return {};
  const QByteArray bytes = file_.read(kBytesPerLine);
  QString text = QStringLiteral("%1 ").arg(line * kBytesPerLine, offsetDigits_, 16, QChar(u'0'));
  QString ascii;
  for (int i = 0; i < kBytesPerLine; ++i) {
    if (i == 8) text += u' ';
    if (i < bytes.size()) {
      const auto b = static_cast<unsigned char>(bytes[i]);
      text += QStringLiteral(" %1").arg(b, 2, 16, QChar(u'0'));
      ascii += (b >= 0x20 && b < 0x7F) ? QChar(b) : QChar(u'.');
    } else {
      text += QStringLiteral("   ");
    }
  }
  return text + QStringLiteral("  |") + ascii + u'|';
}

void HexView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), palette().color(QPalette::Base));
  p.setPen(palette().color(QPalette::Text));
  const int lineHeight = QFontMetrics(viewport()->font()).height();
  const qint64 first = FirstVisibleLine();
  // Only the lines in view are read: a page of a file of any size costs one small read.
  for (int i = 0; i <= VisibleLines(); ++i) {
    const QString line = LineText(first + i);
    if (line.isEmpty()) break;
    p.drawText(4, i * lineHeight + QFontMetrics(viewport()->font()).ascent(), line);
  }
}

void HexView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBar();
}

// ---- SafeTextBrowser ----

namespace {

// What every resource of a recovered page becomes: never null, or Qt goes looking for it on its
// own (the document reads local files, the image handler loads a picture by its name).
QVariant NoResource(int type) {
  if (type == QTextDocument::ImageResource) {
    QImage blank(1, 1, QImage::Format_ARGB32);
    blank.fill(Qt::transparent);
    return blank;
  }
  return QVariant(QByteArray());
}

}  // namespace

QVariant SafeTextDocument::loadResource(int type, const QUrl&) {
  // A recovered page is shown as text only: it must not reach the network or other files.
  ++refused_;
  return NoResource(type);
}

SafeTextBrowser::SafeTextBrowser(QWidget* parent)
    : QTextBrowser(parent), document_(new SafeTextDocument(this)) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setReadOnly(true);
  setDocument(document_);
}

QVariant SafeTextBrowser::loadResource(int type, const QUrl&) {
  ++refused_;
  return NoResource(type);
}

int SafeTextBrowser::RefusedResources() const { return refused_ + document_->RefusedResources(); }

void SafeTextBrowser::ShowHtml(const QString& html) {
  if (document() != document_) setDocument(document_);
  document_->setHtml(html);
}

// ---- CExplorer1 ----

CExplorer1::CExplorer1(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  header_ = new QLabel(this);
  header_->setObjectName(QStringLiteral("previewHeader"));
  header_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  header_->setWordWrap(true);
  header_->hide();
  stack_ = new QStackedWidget(this);
  layout->addWidget(header_);
  layout->addWidget(stack_, 1);

  empty_ = new QWidget(stack_);
  busy_ = new QWidget(stack_);
  auto* busyLayout = new QVBoxLayout(busy_);
  busyText_ = new QLabel(busy_);
  busyText_->setAlignment(Qt::AlignCenter);
  busyBar_ = new QProgressBar(busy_);
  busyBar_->setRange(0, 0);  // moving bar: the size of the work is not known
  busyBar_->setTextVisible(false);
  busyLayout->addStretch();
  busyLayout->addWidget(busyText_);
  busyLayout->addWidget(busyBar_);
  busyLayout->addStretch();

  imageLabel_ = new QLabel(stack_);
  imageLabel_->setAlignment(Qt::AlignCenter);
  imageLabel_->setMinimumSize(1, 1);
  imageLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

  text_ = new QPlainTextEdit(stack_);
  text_->setReadOnly(true);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  html_ = new SafeTextBrowser(stack_);
  hex_ = new HexView(stack_);
  failure_ = new QLabel(stack_);
  failure_->setWordWrap(true);
  failure_->setAlignment(Qt::AlignCenter);
  failure_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  for (QWidget* page :
       std::initializer_list<QWidget*>{empty_, busy_, imageLabel_, text_, html_, hex_, failure_})
    stack_->addWidget(page);
  stack_->setCurrentWidget(empty_);
}

CExplorer1::~CExplorer1() = default;

void CExplorer1::Show(View view, QWidget* page) {
  view_ = view;
  stack_->setCurrentWidget(page);
}

void CExplorer1::Clear() {
  hex_->Close();
  image_ = QImage();
  imageLabel_->clear();
  text_->clear();
  html_->clear();
  failure_->clear();
  path_.clear();
  header_->clear();
  header_->hide();
  Show(View::Empty, empty_);
}

void CExplorer1::SetBusy(const QString& what) {
  header_->setText(tr("Extracting %1 ...").arg(what));
  header_->show();
  busyText_->setText(tr("Extracting %1 ...").arg(what));
  Show(View::Busy, busy_);
}

void CExplorer1::Navigate(const QString& path, const QString& failure, const QString& note) {
  // Let go of what the previous page held open, so the preview folder can be cleared.
  hex_->Close();
  image_ = QImage();
  imageLabel_->clear();
  text_->clear();
  html_->clear();
  path_ = path;

  const QFileInfo info(path);
  if (path.isEmpty() || !info.isFile()) {
    ShowFailure(path, failure);
    return;
  }
  QString header = path + QStringLiteral("  (") + FileSizeText(info.size()) + u')';
  QString textNote;
  if (!ShowImage(path) && !ShowTextOrHtml(path, info.size(), &textNote)) {
    if (!hex_->Open(path)) {
      ShowFailure(path, tr("The file cannot be read."));
      return;
    }
    Show(View::Hex, hex_);
  }
  for (const QString& line : {note, textNote})
    if (!line.isEmpty()) header += u'\n' + line;
  header_->setText(header);
  header_->show();
}

bool CExplorer1::ShowImage(const QString& path) {
  QImageReader reader(path);
  // The bytes decide, not the name: a recovered "photo.jpg" may hold anything.
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  if (!reader.canRead()) return false;
  const QSize size = reader.size();
  if (size.isValid() && static_cast<qint64>(size.width()) * size.height() > kMaxImagePixels)
    reader.setScaledSize(size.scaled(8192, 8192, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) return false;
  image_ = std::move(image);
  Show(View::Image, imageLabel_);
  ScaleImage();
  return true;
}

bool CExplorer1::ShowTextOrHtml(const QString& path, qint64 size, QString* note) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = file.read(std::min(size, textLimit_));
  const auto head = std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                              static_cast<std::size_t>(bytes.size()));
  const bool html = ui::LooksLikeHtml(QFileInfo(path).fileName().toStdU16String(), head);
  ui::TextReading reading = ui::ChooseTextReading(head);
  if (!html && !ui::FitsTextView(head)) return false;
  if (reading.encoding == ui::TextEncoding::None) {
    if (!html) return false;
    reading.encoding = ui::TextEncoding::Latin1;  // a page with stray control bytes
  }
  const QString text = Decode(bytes, reading, oemCodePage_);
  if (bytes.size() < size)
    *note = tr("Showing the first %1 of %2.").arg(FileSizeText(bytes.size()), FileSizeText(size));
  if (html) {
    html_->ShowHtml(text);
    Show(View::Html, html_);
  } else {
    text_->setPlainText(text);
    Show(View::Text, text_);
  }
  return true;
}

void CExplorer1::ShowFailure(const QString& path, const QString& failure) {
  QString text = path.isEmpty() ? tr("No file was written for this preview.")
                                : tr("No file was written to %1.").arg(path);
  if (!failure.isEmpty()) text += u'\n' + failure;
  failure_->setText(text);
  header_->setText(path);
  header_->setVisible(!path.isEmpty());
  Show(View::Failure, failure_);
}

void CExplorer1::ScaleImage() {
  if (image_.isNull()) return;
  // Fitted into the pane, never enlarged past its own size.
  const QSize room = stack_->contentsRect().size().boundedTo(image_.size());
  imageLabel_->setPixmap(QPixmap::fromImage(
      image_.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

QSize CExplorer1::ImageDisplaySize() const {
  const QPixmap pixmap = imageLabel_->pixmap();
  return pixmap.isNull() ? QSize() : pixmap.size();
}

void CExplorer1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (view_ == View::Image) ScaleImage();
}

QString CExplorer1::HeaderText() const { return header_->text(); }

QString CExplorer1::ShownText() const {
  switch (view_) {
    case View::Text:
      return text_->toPlainText();
    case View::Html:
      return html_->toPlainText();
    case View::Failure:
      return failure_->text();
    case View::Busy:
      return busyText_->text();
    default:
      return {};
  }
}

}  // namespace brevant::gui

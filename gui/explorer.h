#pragma once
// The preview pane: shows the file at a local path as an image, text, HTML (rich text only:
// nothing is fetched, nothing runs) or, for everything else, as hex and ASCII read page by
// page, so a file of gigabytes opens at once. A path with no file shows why.
#include <QAbstractScrollArea>
#include <QFile>
#include <QImage>
#include <QString>
#include <QTextBrowser>
#include <QTextDocument>
#include <QWidget>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QStackedWidget;

namespace brevant::gui {

// Hex and ASCII lines of a file, 16 bytes a line, reading only the lines in view.
class HexView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit HexView(QWidget* parent = nullptr);
  // Opens the file for reading; false when it cannot be opened.
  bool Open(const QString& path);
  void Close();
  qint64 FileSize() const { return size_; }
  qint64 LineCount() const { return (size_ + 15) / 16; }
  qint64 FirstVisibleLine() const;
  void ScrollToLine(qint64 line);
  // "00000010  41 42 ...  |AB..|" for line `line`; empty past the end.
  QString LineText(qint64 line) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateScrollBar();
  int VisibleLines() const;
  mutable QFile file_;
  qint64 size_ = 0;
  qint64 linesPerStep_ = 1;  // a file past the scroll bar's range moves in steps of lines
  int offsetDigits_ = 8;
};

// A document that answers every resource with nothing. The stock document reads a local file
// itself when its view declines, so declining in the view is not enough.
class SafeTextDocument : public QTextDocument {
  Q_OBJECT

 public:
  using QTextDocument::QTextDocument;
  int RefusedResources() const { return refused_; }

 protected:
  QVariant loadResource(int type, const QUrl& name) override;

 private:
  int refused_ = 0;
};

// Rich text that never loads anything: no images, style sheets or links from anywhere.
class SafeTextBrowser : public QTextBrowser {
  Q_OBJECT

 public:
  explicit SafeTextBrowser(QWidget* parent = nullptr);
  QVariant loadResource(int type, const QUrl& name) override;
  int RefusedResources() const;
  // Replaces the document (setHtml keeps it); the page is rich text only.
  void ShowHtml(const QString& html);

 private:
  SafeTextDocument* document_;
  int refused_ = 0;
};

class CExplorer1 : public QWidget {
  Q_OBJECT

 public:
  enum class View { Empty, Busy, Image, Text, Html, Hex, Failure };

  explicit CExplorer1(QWidget* parent = nullptr);
  ~CExplorer1() override;

  // Shows the file at `path`. `note` is shown above it (for example that only its first bytes
  // were extracted). When there is no file at `path`, the pane says so, with `failure` as the
  // reason when one is known.
  void Navigate(const QString& path, const QString& failure = {}, const QString& note = {});
  // Back to the empty pane, as at the start: nothing shown, nothing held open.
  void Clear();
  // The busy indicator while a file is being extracted; `what` names it.
  void SetBusy(const QString& what);
  // Code page for single-byte text that is not Latin-1 (OEM text from DOS and Windows).
  void SetOemCodePage(int codePage) { oemCodePage_ = codePage; }
  // Text and HTML are read up to this many bytes (a note says when a file is longer).
  void SetTextLimit(qint64 bytes) { textLimit_ = bytes; }

  View CurrentView() const { return view_; }
  const QString& CurrentPath() const { return path_; }
  QString HeaderText() const;
  // What the text, HTML or failure view shows, as plain text.
  QString ShownText() const;
  const QImage& ShownImage() const { return image_; }
  QSize ImageDisplaySize() const;
  HexView* Hex() const { return hex_; }
  SafeTextBrowser* Html() const { return html_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool ShowImage(const QString& path);
  bool ShowTextOrHtml(const QString& path, qint64 size, QString* note);
  void ShowFailure(const QString& path, const QString& failure);
  void ScaleImage();
  void Show(View view, QWidget* page);

  View view_ = View::Empty;
  QString path_;
  QImage image_;
  int oemCodePage_ = 850;
  qint64 textLimit_ = 8ll << 20;
  QLabel* header_;
  QStackedWidget* stack_;
  QWidget* empty_;
  QWidget* busy_;
  QLabel* busyText_;
  QProgressBar* busyBar_;
  QLabel* imageLabel_;
  QPlainTextEdit* text_;
  SafeTextBrowser* html_;
  HexView* hex_;
  QLabel* failure_;
};

}  // namespace brevant::gui

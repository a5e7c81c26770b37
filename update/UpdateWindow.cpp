#include "update/UpdateWindow.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

namespace mixelot {
namespace {

// Feed text is never markup: a label left to guess would lay out (and load) what the feed wrote.
QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

// A document that loads nothing its HTML names: no images, style sheets or other files. Its own
// provider also keeps a program-wide default provider from being asked.
class InertDocument final : public QTextDocument {
 public:
  InertDocument() {
    setResourceProvider([](const QUrl&) { return QVariant(); });
  }

 protected:
  QVariant loadResource(int, const QUrl&) override { return {}; }
};

}  // namespace

UpdateWindow::UpdateWindow(const AppcastItem& item, const QString& currentVersion, bool downloaded,
                           std::function<void(UpdateUserDriver::Choice)> reply, QWidget* parent)
    : QDialog(parent), reply_(std::move(reply)) {
  using Choice = UpdateUserDriver::Choice;
  const QString name = QCoreApplication::applicationName();
  setWindowTitle(tr("Software Update"));
  setAttribute(Qt::WA_DeleteOnClose);

  auto* layout = new QVBoxLayout(this);
  auto* heading = plainLabel(tr("A new version of %1 is available!").arg(name), this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  layout->addWidget(heading);
  layout->addWidget(plainLabel(
      downloaded ? tr("%1 %2 has been downloaded and is ready to install. You have %3.")
                       .arg(name, item.displayVersion(), currentVersion)
                 : tr("%1 %2 is now available. You have %3. Would you like to download it now?")
                       .arg(name, item.displayVersion(), currentVersion),
      this));

  QString notes = plainReleaseNotes(item.releaseNotes);
  if (!notes.isEmpty()) {
    layout->addWidget(plainLabel(tr("Release Notes:"), this));
    auto* text = new QPlainTextEdit(notes, this);
    text->setReadOnly(true);
    text->setMinimumSize(420, 200);
    layout->addWidget(text);
  }

  auto* buttons = new QDialogButtonBox(this);
  auto* skip = buttons->addButton(tr("Skip This Version"), QDialogButtonBox::DestructiveRole);
  auto* later = buttons->addButton(tr("Remind Me Later"), QDialogButtonBox::RejectRole);
  auto* main = buttons->addButton(downloaded ? tr("Install Update…") : tr("Download"),
                                  QDialogButtonBox::AcceptRole);
  main->setDefault(true);
  layout->addWidget(buttons);
  connect(skip, &QPushButton::clicked, this, [this] { answer(Choice::skip); });
  connect(later, &QPushButton::clicked, this, [this] { answer(Choice::remindLater); });
  connect(main, &QPushButton::clicked, this,
          [this, downloaded] { answer(downloaded ? Choice::install : Choice::download); });
  connect(this, &QDialog::finished, this, [this] { answer(Choice::remindLater); });
}

QString UpdateWindow::plainReleaseNotes(const QString& notes) {
  if (!notes.contains(u'<')) return notes.trimmed();
  InertDocument document;
  document.setHtml(notes);
  QString text = document.toPlainText();
  // Images become object-replacement characters; they have nothing to show as text.
  return text.remove(QChar::ObjectReplacementCharacter).trimmed();
}

void UpdateWindow::answer(UpdateUserDriver::Choice choice) {
  // Closing finishes the dialog, which answers again: only the first answer counts.
  if (!reply_) return;
  auto reply = std::move(reply_);
  reply_ = nullptr;
  reply(choice);
  close();
}

}  // namespace mixelot

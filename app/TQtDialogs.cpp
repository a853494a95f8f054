// Qt answers to the dialog seam.
#include "app/TQtDialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "app/TDesktopNotifier.h"
#include "app/TfrmSelectFolder.h"

TQtDialogs::TQtDialogs() = default;
TQtDialogs::~TQtDialogs() = default;

void TQtDialogs::MessageBox(QWidget* owner, const QString& title, const QString& text, TIcon icon) {
    const QMessageBox::Icon qtIcon = icon == TIcon::Warning ? QMessageBox::Warning
                                     : icon == TIcon::Error ? QMessageBox::Critical
                                                            : QMessageBox::Information;
    QMessageBox box(qtIcon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

bool TQtDialogs::Question(QWidget* owner, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> TQtDialogs::SaveFile(QWidget* owner, const QString& fileName,
                                            const QString& folder, const QStringList& filters) {
    QFileDialog dialog(owner, QString(), folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(filters);
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

std::optional<QString> TQtDialogs::SelectFolder(QWidget* owner, const QString& prompt,
                                                const QString& initial, QPoint topLeft) {
    TfrmSelectFolder picker(owner, prompt, initial);
    picker.move(topLeft);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    return picker.Folder();
}

int TQtDialogs::ShowModal(QDialog* dialog) {
    return dialog->exec();
}

bool TQtDialogs::OpenDocument(const QString& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::current().absoluteFilePath(path)));
}

void TQtDialogs::Notify(const QString& summary, const QString& body, const QString& file) {
    if (!Notifier)
        Notifier = std::make_unique<TDesktopNotifier>(QDBusConnection::sessionBus(), *this);
    Notifier->Notify(summary, body, file);
}

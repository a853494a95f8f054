// Qt answers to the dialog seam.
#include "app/TDialogs.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QUrl>

#include "app/TfrmSelectFolder.h"

void TQtDialogs::MessageBox(QWidget* owner, const QString& title, const QString& text, TIcon icon) {
    const QMessageBox::Icon qtIcon = icon == TIcon::Warning ? QMessageBox::Warning
                                     : icon == TIcon::Error ? QMessageBox::Critical
                                                            : QMessageBox::Information;
    QMessageBox box(qtIcon, title, text, QMessageBox::Ok, owner);
    box.exec();
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

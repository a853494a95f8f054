// The windows that would block or leave the program: message boxes, questions, the save-file
// dialog, the folder picker, modal dialogs and the desktop's "Open". Every window calls them
// through this seam so tests can answer; the program installs app/TQtDialogs. UI thread only.
#pragma once

#include <QFileInfo>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <optional>

class QDialog;
class QWidget;

class TDialogs {
public:
    enum class TIcon { Information, Warning, Error };

    virtual ~TDialogs() = default;

    // A message box with one "OK" button; owner may be null (no owner window).
    virtual void MessageBox(QWidget* owner, const QString& title, const QString& text,
                            TIcon icon) = 0;
    // A question with "Yes" and "No"; true for "Yes".
    virtual bool Question(QWidget* owner, const QString& title, const QString& text) = 0;
    // The save-file dialog, opened in folder with fileName proposed and the given name filters
    // ("MP4 file (*.mp4)"); the chosen path, nullopt when cancelled. It does not ask about
    // overwriting: the caller does. Modal dialogs it opens are children of owner, so that
    // rejecting the owner's dialogs ends it.
    virtual std::optional<QString> SaveFile(QWidget* owner, const QString& fileName,
                                            const QString& folder, const QStringList& filters) = 0;
    // The modal "Browse for Folder" window with its top-left corner at topLeft; the chosen
    // folder ends in "/", nullopt when none was chosen.
    virtual std::optional<QString> SelectFolder(QWidget* owner, const QString& prompt,
                                                const QString& initial, QPoint topLeft) = 0;
    // Shows an existing dialog modally and gives its result code.
    virtual int ShowModal(QDialog* dialog) = 0;
    // Opens a file or folder with the desktop's associated program; false when nothing could.
    virtual bool OpenDocument(const QString& path) = 0;
    // A desktop notification (summary, then body); a file given is offered to "Open" and
    // "Open Folder" from it. Returns at once; without a notification service nothing happens.
    virtual void Notify(const QString& summary, const QString& body, const QString& file) = 0;
};

// Opens path as OpenDocument does and, when that cannot be done, says why in a message box:
// no button of ours fails without a word.
inline void OpenOrSayWhy(TDialogs& dialogs, QWidget* owner, const QString& path) {
    QString why;
    if (!QFileInfo::exists(path)) {
        why = QStringLiteral("%1 does not exist (any more).");
    } else if (!dialogs.OpenDocument(path)) {
        why = QStringLiteral(
            "Could not open %1: the desktop has no program to open it "
            "(xdg-open, from xdg-utils, is not installed).");
    } else {
        return;
    }
    dialogs.MessageBox(owner, QStringLiteral("Sorlen"), why.arg(path), TDialogs::TIcon::Error);
}

// The windows that would block or leave the program: message boxes, the folder picker, modal
// dialogs and the shell's "Open". The windows call them through this seam so tests can answer;
// TQtDialogs is what the program uses. UI thread only.
#pragma once

#include <QPoint>
#include <QString>
#include <optional>

class QDialog;
class QWidget;

class TDialogs {
public:
    enum class TIcon { Information, Warning, Error };

    virtual ~TDialogs() = default;

    // A message box with one "OK" button.
    virtual void MessageBox(QWidget* owner, const QString& title, const QString& text,
                            TIcon icon) = 0;
    // The modal "Browse for Folder" window with its top-left corner at topLeft; the chosen
    // folder ends in "/", nullopt when none was chosen.
    virtual std::optional<QString> SelectFolder(QWidget* owner, const QString& prompt,
                                                const QString& initial, QPoint topLeft) = 0;
    // Shows an existing dialog modally and gives its result code.
    virtual int ShowModal(QDialog* dialog) = 0;
    // Opens a file with the desktop's associated program; false when nothing could open it.
    virtual bool OpenDocument(const QString& path) = 0;
};

class TQtDialogs : public TDialogs {
public:
    void MessageBox(QWidget* owner, const QString& title, const QString& text, TIcon icon) override;
    std::optional<QString> SelectFolder(QWidget* owner, const QString& prompt,
                                        const QString& initial, QPoint topLeft) override;
    int ShowModal(QDialog* dialog) override;
    bool OpenDocument(const QString& path) override;
};

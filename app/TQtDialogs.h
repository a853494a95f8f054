// The program's answers to the dialog seam: Qt message boxes and file dialog, the folder picker
// window, QDesktopServices and the desktop's notifications. UI thread only.
#pragma once

#include <memory>

#include "ui/TDialogs.h"

class TDesktopNotifier;

class TQtDialogs : public TDialogs {
public:
    TQtDialogs();
    ~TQtDialogs() override;
    void MessageBox(QWidget* owner, const QString& title, const QString& text, TIcon icon) override;
    bool Question(QWidget* owner, const QString& title, const QString& text) override;
    std::optional<QString> SaveFile(QWidget* owner, const QString& fileName, const QString& folder,
                                    const QStringList& filters) override;
    std::optional<QString> SelectFolder(QWidget* owner, const QString& prompt,
                                        const QString& initial, QPoint topLeft) override;
    int ShowModal(QDialog* dialog) override;
    bool OpenDocument(const QString& path) override;
    void Notify(const QString& summary, const QString& body, const QString& file) override;

private:
    // Made at the first notification: a program that never shows one never opens the bus.
    std::unique_ptr<TDesktopNotifier> Notifier;
};

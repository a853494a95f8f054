// The program's answers to the dialog seam: Qt message boxes and file dialog, the folder picker
// window and QDesktopServices. UI thread only.
#pragma once

#include "ui/TDialogs.h"

class TQtDialogs : public TDialogs {
public:
    void MessageBox(QWidget* owner, const QString& title, const QString& text, TIcon icon) override;
    bool Question(QWidget* owner, const QString& title, const QString& text) override;
    std::optional<QString> SaveFile(QWidget* owner, const QString& fileName, const QString& folder,
                                    const QStringList& filters) override;
    std::optional<QString> SelectFolder(QWidget* owner, const QString& prompt,
                                        const QString& initial, QPoint topLeft) override;
    int ShowModal(QDialog* dialog) override;
    bool OpenDocument(const QString& path) override;
};

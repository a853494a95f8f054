// The modal "Browse for Folder" window over the file system's folder tree, and the rule that
// places it beside the window that opens it. UI thread only.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QString>

class QFileSystemModel;
class QTreeView;

class TfrmSelectFolder : public QDialog {
    Q_OBJECT
public:
    // initial: folder to show selected; empty starts at the home folder.
    TfrmSelectFolder(QWidget* owner, const QString& prompt, const QString& initial);

    // The selected folder, always ending in "/"; empty when nothing is selected.
    QString Folder() const;

private:
    QFileSystemModel* Model;
    QTreeView* Tree;
};

// Top-left corner for the picker opened from a window whose top-left corner is ownerTopLeft:
// 50 pixels right and down, or 320 pixels in from the screen's right (bottom) edge when the
// owner's corner is within 370 pixels of it.
QPoint FolderPickerPosition(QPoint ownerTopLeft, QSize screen);

// The about box: created hidden at start-up, shown modally by the main window's "A" button.
#pragma once

#include <QDialog>

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* owner);
};

// The "Sorlen Options" dialog: edits a working copy of the options on three tabs and hands it
// back on "OK"; it neither saves nor applies anything. UI thread only. The owner creates it for
// one use, answers its two hooks (folder picker, warning box) and reads EditedOptions after it
// closed with the accept result.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

#include "settings/TOptions.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QVBoxLayout;

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    explicit TfrmOptions(QWidget* owner = nullptr);

    void LoadFromOptions(const TOptions& options);
    void EnableProxyPanel(bool on);
    void EnableSocksPanel(bool on);

    // The folder picker, opened from this dialog with the given prompt; nullopt when no folder
    // was chosen. Unset: the button does nothing.
    std::function<std::optional<QString>(QWidget* from, const QString& prompt)> OnSelectFolder;
    // A warning box with one "OK" button. Unset: nothing is shown.
    std::function<void(QWidget* from, const QString& title, const QString& text)> OnWarning;

    TOptions EditedOptions;

    QTabWidget* PageControl;
    QWidget* tsGeneral;
    QWidget* tsDownload;
    QWidget* tsConnection;
    // Each tab stacks its groups from the top; a further group is simply added to its layout.
    QVBoxLayout* GeneralLayout;
    QVBoxLayout* DownloadLayout;
    QVBoxLayout* ConnectionLayout;

    QGroupBox* gbApplication;
    QCheckBox* ckLoadOnStart;
    QCheckBox* ckClipboard;
    QGroupBox* gbFolder;
    QLabel* lDefFolder;
    QLineEdit* eDefFolder;
    QPushButton* bDefBrowse;
    QGroupBox* gbNotify;
    QCheckBox* ckNotify;
    QGroupBox* gbYoutube;
    QLabel* lYoutube;
    QComboBox* cbYoutube;
    QGroupBox* gbConnections;
    QSpinBox* sbConnections;
    QGroupBox* gbHttpProxy;
    QCheckBox* ckProxy;
    QWidget* pProxy;
    QLineEdit* eAddress;
    QLineEdit* ePort;
    QLineEdit* eUser;
    QLineEdit* ePass;
    QPushButton* bFind;
    QGroupBox* gbSocksProxy;
    QCheckBox* ckSocks;
    QWidget* pSocks;
    QComboBox* cbSocksLevel;  // SOCKS 4, SOCKS 4A, SOCKS 5
    QLineEdit* eSocksAddress;
    QLineEdit* eSocksPort;
    QPushButton* bSocksFind;
    QLineEdit* eSocksUser;
    QLineEdit* eSocksPass;
    QPushButton* bOk;
    QPushButton* bCancel;

public slots:
    void bOkClick();
    void ckProxyClick();
    void ckSocksClick();
    void bDefBrowseClick();
    void bFindClick();
};

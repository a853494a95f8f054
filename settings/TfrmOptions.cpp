// Options dialog layout and the working copy's round trip through its controls.
#include "settings/TfrmOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>
#include <iterator>

#include "settings/uSystem.h"
#include "ui/Translate.h"

namespace {

constexpr int kGroupGap = 12;  // between the groups of a tab
constexpr int kButtonStripHeight = 38;

QVBoxLayout* TabLayout(QWidget* tab) {
    auto* layout = new QVBoxLayout(tab);
    layout->setSpacing(kGroupGap);
    layout->setAlignment(Qt::AlignTop);
    return layout;
}

QLineEdit* LabelledEdit(QGridLayout* grid, int row, const QString& caption, int columnSpan) {
    auto* edit = new QLineEdit;
    auto* label = new QLabel(caption);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1, 1, columnSpan);
    return edit;
}

// Typed characters show as "*".
void MaskPassword(QLineEdit* edit) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
}

// A greyed-out panel's edits take the panel's background instead of the platform's grey.
void GreyLikePanel(const QWidget* panel, std::initializer_list<QLineEdit*> edits) {
    for (QLineEdit* edit : edits) {
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Disabled, QPalette::Base,
                         panel->palette().color(QPalette::Window));
        edit->setPalette(palette);
    }
}

// The rows both proxy groups share, from row firstRow of the panel's grid on: address, port with
// a "Find" button, user name and a masked password. The check box above the panel enables it.
QGridLayout* AddServerRows(QGroupBox* group, QCheckBox* enable, QWidget* panel, int firstRow,
                           QLineEdit*& address, QLineEdit*& port, QPushButton*& find,
                           QLineEdit*& user, QLineEdit*& password) {
    auto* column = new QVBoxLayout(group);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    find = new QPushButton(Tr("Find"));
    address = LabelledEdit(grid, firstRow, Tr("Address:"), 2);
    port = LabelledEdit(grid, firstRow + 1, Tr("Port:"), 1);
    grid->addWidget(find, firstRow + 1, 2);
    user = LabelledEdit(grid, firstRow + 2, Tr("Username:"), 2);
    password = LabelledEdit(grid, firstRow + 3, Tr("Password:"), 2);
    MaskPassword(password);
    GreyLikePanel(panel, {address, port, user, password});
    column->addWidget(enable);
    column->addWidget(panel);
    return grid;
}

const char* const kSocksLevels[] = {"4", "4A", "5"};

// The level list's item for Level; SOCKS 5 for anything unknown.
int SocksLevelIndex(const std::string& Level) {
    const auto found = std::find(std::begin(kSocksLevels), std::end(kSocksLevels), Level);
    return found == std::end(kSocksLevels) ? 2 : int(found - std::begin(kSocksLevels));
}

// A field's bytes stay as they were unless the user changed its text, so a value that is not
// valid UTF-8 (a password typed in an older build, say) survives "OK" unchanged.
void TakeText(const QLineEdit* edit, std::string& field) {
    if (edit->text() != QString::fromStdString(field)) field = edit->text().toStdString();
}

}  // namespace

TfrmOptions::TfrmOptions(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    // Takes the owner's font (the main window's Tahoma 8 pt), as a dialog of the same program.
    setAttribute(Qt::WA_WindowPropagation);
    setWindowTitle(Tr("Sorlen Options"));

    PageControl = new QTabWidget(this);
    tsGeneral = new QWidget;
    tsDownload = new QWidget;
    tsConnection = new QWidget;
    GeneralLayout = TabLayout(tsGeneral);
    DownloadLayout = TabLayout(tsDownload);
    ConnectionLayout = TabLayout(tsConnection);
    PageControl->addTab(tsGeneral, Tr("General"));
    PageControl->addTab(tsDownload, Tr("Download"));
    PageControl->addTab(tsConnection, Tr("Connection"));

    gbApplication = new QGroupBox(Tr("Application"));
    auto* application = new QVBoxLayout(gbApplication);
    ckLoadOnStart = new QCheckBox(Tr("Launch on Startup"));
    ckClipboard = new QCheckBox(Tr("Monitor Clipboard"));
    application->addWidget(ckLoadOnStart);
    application->addWidget(ckClipboard);
    GeneralLayout->addWidget(gbApplication);

    gbFolder = new QGroupBox(Tr("Default Folder"));
    auto* folder = new QGridLayout(gbFolder);
    lDefFolder = new QLabel(Tr("Default download location:"));
    eDefFolder = new QLineEdit;
    lDefFolder->setBuddy(eDefFolder);
    bDefBrowse = new QPushButton(QStringLiteral("..."));
    bDefBrowse->setFixedSize(21, 21);
    folder->addWidget(lDefFolder, 0, 0, 1, 2);
    folder->addWidget(eDefFolder, 1, 0);
    folder->addWidget(bDefBrowse, 1, 1);
    GeneralLayout->addWidget(gbFolder);

    gbNotify = new QGroupBox(Tr("Notifications"));
    auto* notify = new QVBoxLayout(gbNotify);
    ckNotify = new QCheckBox(Tr("Tell the desktop when a download ends unseen"));
    notify->addWidget(ckNotify);
    GeneralLayout->addWidget(gbNotify);

    gbYoutube = new QGroupBox(QStringLiteral("YouTube"));
    auto* youtube = new QVBoxLayout(gbYoutube);
    lYoutube = new QLabel(Tr("YouTube download quality:"));
    cbYoutube = new QComboBox;
    cbYoutube->addItems({Tr("Normal"), Tr("Best Available")});
    lYoutube->setBuddy(cbYoutube);
    youtube->addWidget(lYoutube);
    youtube->addWidget(cbYoutube);
    DownloadLayout->addWidget(gbYoutube);

    gbConnections = new QGroupBox(Tr("Connections per download"));
    auto* connections = new QVBoxLayout(gbConnections);
    sbConnections = new QSpinBox;
    sbConnections->setRange(kMinConnections, kMaxConnections);
    connections->addWidget(sbConnections);
    DownloadLayout->addWidget(gbConnections);

    gbHttpProxy = new QGroupBox(Tr("HTTP Proxy"));
    ckProxy = new QCheckBox(Tr("Enable Proxy"));
    pProxy = new QWidget;
    AddServerRows(gbHttpProxy, ckProxy, pProxy, 0, eAddress, ePort, bFind, eUser, ePass);
    ConnectionLayout->addWidget(gbHttpProxy);

    // A SOCKS server carries every connection, to the HTTP proxy as well when both are on.
    gbSocksProxy = new QGroupBox(Tr("SOCKS Proxy"));
    ckSocks = new QCheckBox(Tr("Enable SOCKS Proxy"));
    pSocks = new QWidget;
    QGridLayout* socksGrid = AddServerRows(gbSocksProxy, ckSocks, pSocks, 1, eSocksAddress,
                                           eSocksPort, bSocksFind, eSocksUser, eSocksPass);
    cbSocksLevel = new QComboBox;
    cbSocksLevel->addItems(
        {QStringLiteral("SOCKS 4"), QStringLiteral("SOCKS 4A"), QStringLiteral("SOCKS 5")});
    auto* lSocksLevel = new QLabel(Tr("Level:"));
    lSocksLevel->setBuddy(cbSocksLevel);
    socksGrid->addWidget(lSocksLevel, 0, 0);
    socksGrid->addWidget(cbSocksLevel, 0, 1);
    ConnectionLayout->addWidget(gbSocksProxy);

    auto* strip = new QWidget;
    strip->setFixedHeight(kButtonStripHeight);
    auto* buttons = new QHBoxLayout(strip);
    buttons->addStretch(1);
    bOk = new QPushButton(Tr("OK"));
    bCancel = new QPushButton(Tr("Cancel"));
    for (QPushButton* button : {bOk, bCancel}) {
        button->setFixedSize(75, 25);
        buttons->addWidget(button);
    }

    // Fixed to its contents: the tallest tab decides the height, and a group added to a tab
    // later grows the dialog with it.
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(4, 4, 4, 0);
    form->setSpacing(0);
    form->setSizeConstraint(QLayout::SetFixedSize);
    PageControl->setMinimumWidth(320);
    form->addWidget(PageControl);
    form->addWidget(strip);
    // Only now is "OK" inside the dialog: set before, the dialog would make the first button of
    // its focus chain (the folder's "...") the one that Enter presses.
    bOk->setDefault(true);

    QWidget* const order[] = {ckLoadOnStart, ckClipboard,   eDefFolder, bDefBrowse, ckNotify,
                              cbYoutube,     sbConnections, ckProxy,    eAddress,   ePort,
                              bFind,         eUser,         ePass,      ckSocks,    cbSocksLevel,
                              eSocksAddress, eSocksPort,    bSocksFind, eSocksUser, eSocksPass,
                              bOk,           bCancel};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    connect(bOk, &QPushButton::clicked, this, &TfrmOptions::bOkClick);
    connect(bCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ckProxy, &QCheckBox::toggled, this, &TfrmOptions::ckProxyClick);
    connect(bDefBrowse, &QPushButton::clicked, this, &TfrmOptions::bDefBrowseClick);
    connect(bFind, &QPushButton::clicked, this, &TfrmOptions::bFindClick);
    connect(ckSocks, &QCheckBox::toggled, this, &TfrmOptions::ckSocksClick);
    connect(bSocksFind, &QPushButton::clicked, this, &TfrmOptions::bFindClick);

    PageControl->setCurrentWidget(tsGeneral);
    form->activate();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
}

void TfrmOptions::LoadFromOptions(const TOptions& options) {
    EditedOptions = options;
    ckLoadOnStart->setChecked(options.LoadOnStart);
    ckClipboard->setChecked(options.MonitorClipboard);
    ckNotify->setChecked(options.NotifyWhenDone);
    eDefFolder->setText(QString::fromStdString(options.SaveTo));
    // A Format the list has no item for (a hand-edited file) leaves nothing selected.
    cbYoutube->setCurrentIndex(options.Format);
    sbConnections->setValue(options.Connections);
    eAddress->setText(QString::fromStdString(options.ProxyAddress));
    ePort->setText(QString::fromStdString(options.ProxyPort));
    eUser->setText(QString::fromStdString(options.ProxyUsername));
    ePass->setText(QString::fromStdString(options.ProxyPassword));
    ckProxy->setChecked(options.UseProxy);
    EnableProxyPanel(ckProxy->isChecked());
    cbSocksLevel->setCurrentIndex(SocksLevelIndex(options.SocksLevel));
    eSocksAddress->setText(QString::fromStdString(options.SocksAddress));
    eSocksPort->setText(QString::fromStdString(options.SocksPort));
    eSocksUser->setText(QString::fromStdString(options.SocksUsername));
    eSocksPass->setText(QString::fromStdString(options.SocksPassword));
    ckSocks->setChecked(options.UseSocks);
    EnableSocksPanel(ckSocks->isChecked());
}

void TfrmOptions::EnableProxyPanel(bool on) {
    // Children follow the panel; the edits' disabled base is the panel's background.
    pProxy->setEnabled(on);
}

void TfrmOptions::ckProxyClick() {
    EnableProxyPanel(ckProxy->isChecked());
}

void TfrmOptions::EnableSocksPanel(bool on) {
    pSocks->setEnabled(on);
}

void TfrmOptions::ckSocksClick() {
    EnableSocksPanel(ckSocks->isChecked());
}

void TfrmOptions::bOkClick() {
    TOptions& o = EditedOptions;
    o.LoadOnStart = ckLoadOnStart->isChecked();
    o.MonitorClipboard = ckClipboard->isChecked();
    o.NotifyWhenDone = ckNotify->isChecked();
    TakeText(eDefFolder, o.SaveTo);
    o.Format = cbYoutube->currentIndex();
    o.Connections = sbConnections->value();
    o.UseProxy = ckProxy->isChecked();
    TakeText(eAddress, o.ProxyAddress);
    TakeText(ePort, o.ProxyPort);
    TakeText(eUser, o.ProxyUsername);
    TakeText(ePass, o.ProxyPassword);
    o.UseSocks = ckSocks->isChecked();
    o.SocksLevel = kSocksLevels[std::clamp(cbSocksLevel->currentIndex(), 0, 2)];
    TakeText(eSocksAddress, o.SocksAddress);
    TakeText(eSocksPort, o.SocksPort);
    TakeText(eSocksUser, o.SocksUsername);
    TakeText(eSocksPass, o.SocksPassword);
    accept();
}

void TfrmOptions::bDefBrowseClick() {
    if (!OnSelectFolder) return;
    const auto folder = OnSelectFolder(this, Tr("Select default folder:"));
    if (folder) eDefFolder->setText(*folder);
}

// Both Find buttons fill what the environment names: the HTTP proxy from http_proxy, the SOCKS
// server from a socks URL in all_proxy.
void TfrmOptions::bFindClick() {
    const TSystemProxy found = FindSystemProxy(kProxyHttp);
    const TSystemSocksProxy socks = FindSystemSocksProxy();
    if (!found.Found && !socks.Found) {
        if (OnWarning) {
            OnWarning(this, Tr("Warning"), Tr("Could not find proxy server configuration."));
        }
        return;
    }
    if (found.Found) {
        eAddress->setText(QString::fromStdString(found.Host));
        ePort->setText(QString::fromStdString(found.Port));
    }
    if (socks.Found) {
        cbSocksLevel->setCurrentIndex(SocksLevelIndex(socks.Level));
        eSocksAddress->setText(QString::fromStdString(socks.Host));
        eSocksPort->setText(QString::fromStdString(socks.Port));
    }
}

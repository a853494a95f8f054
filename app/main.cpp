// Sorlen's start-up: the settings module has initialised before main; then the application, the
// main window (which loads the settings), the about box, and the message loop until the main
// window has closed. The window saves the settings when it is destroyed.
#include <QApplication>
#include <QIcon>

#include "app/TQtDialogs.h"
#include "app/TQtUiThread.h"
#include "app/TfrmAbout.h"
#include "app/TfrmMain.h"
#include "settings/uSettings.h"
#include "sites/SiteVideos.h"
#include "ui/Translate.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // QApplication has set the locale from the environment, which chooses the catalogue.
    BindTranslations(ProgramFolder);
    // No display name: Qt would append it to every window's title.
    QApplication::setApplicationName(QStringLiteral("Sorlen"));
    // Task bars and Wayland compositors match the windows to the installed desktop entry by this.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.sorlen.Sorlen"));
    QIcon icon;
    for (const char* size : {"48", "128", "256"}) {
        icon.addFile(QStringLiteral(":/icons/%1/org.sorlen.Sorlen.png").arg(QLatin1String(size)));
    }
    QApplication::setWindowIcon(icon);
    TQtUiThread uiThread;

    TQtDialogs dialogs;
    int result = 0;
    {
        TfrmMain frmMain(CreateSiteVideo, dialogs, uiThread);
        TfrmAbout about(&frmMain);
        frmMain.About = &about;
        frmMain.show();
        AppStarted = true;
        result = QApplication::exec();
        frmMain.About = nullptr;
    }
    return result;
}

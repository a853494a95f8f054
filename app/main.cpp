// Sorlen's start-up: the settings module has initialised before main; then the application, the
// main window (which loads the settings), the about box, and the message loop until the main
// window has closed. The window saves the settings when it is destroyed.
#include <QApplication>

#include "app/TQtDialogs.h"
#include "app/TQtUiThread.h"
#include "app/TfrmAbout.h"
#include "app/TfrmMain.h"
#include "settings/uSettings.h"
#include "sites/SiteVideos.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorlen"));
    QApplication::setApplicationDisplayName(QStringLiteral("Sorlen"));
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

// The window face on Qt: the application object, its names and icon, and the main window.
#include <QApplication>

#include "core/Version.h"
#include "ui/WindowFace.h"
#include "ui/qt/MainPage.h"

int RunWindowFace(CSession& session, int argc, char** argv) {
    // QApplication keeps a reference to the count.
    int qtArgc = argc;
    QApplication app(qtArgc, argv);
    // Names the place for settings; the program keeps none.
    QApplication::setOrganizationName(QStringLiteral("应用程序向导生成的本地应用程序"));
    QApplication::setApplicationName(QStringLiteral("kalvo-updater"));
    QApplication::setApplicationVersion(QLatin1String(KALVO_VERSION));
    QApplication::setWindowIcon(KalvoIcon());
    {
        CMainPage window(&session, session.MakePageConfig());
        // Closing the window ends the page before exec returns.
        window.exec();
    }
    return 0;
}

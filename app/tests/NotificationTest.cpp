// Desktop notifications against a real session bus that the test starts: first without any
// service, then with a small recording stand-in for the desktop's notification service.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QTest>
#include <QVariantMap>

#include "app/TDesktopNotifier.h"
#include "app/tests/FakeDialogs.h"
#include "tests/support/Process.h"
#include "tests/support/TempFolder.h"

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// The service as far as Sorlen uses it: each Notify is recorded and gets the next id.
class TRecordingService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<QVariantList> Calls;

public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int timeout) {
        Calls.push_back({app, replaces, icon, summary, body, actions, timeout});
        return uint(Calls.size());
    }
};

std::vector<QString> QtMessages;
void RecordMessage(QtMsgType, const QMessageLogContext&, const QString& text) {
    QtMessages.push_back(text);
}

// What the bus has sent this connection so far is handled: a blocking round trip through the
// bus daemon comes back after everything sent to the connection before it.
void Settle(const QDBusConnection& bus) {
    bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "GetId"));
    QCoreApplication::processEvents();
}

TEST(Notifications, NothingWithoutAServiceThenTheCallAndItsActionsThroughTheSeam) {
    TTempFolder folder;
    folder.Write("bus.conf",
                 "<busconfig><type>session</type><listen>unix:path=" + folder.File("bus") +
                     "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                     "</policy></busconfig>\n");
    TProcess bus;
    ASSERT_TRUE(bus.Start({"dbus-daemon", "--config-file=" + folder.File("bus.conf"), "--nofork",
                           "--print-address=1"},
                          {.StdoutPipe = true}));
    const QString address = QString::fromStdString(bus.ReadLine(20000));
    ASSERT_FALSE(address.isEmpty()) << "dbus-daemon did not start";
    folder.Write("films/clip.flv", "video");
    const QString file = QString::fromStdString(folder.File("films/clip.flv"));

    TFakeDialogs dialogs;
    QDBusConnection program = QDBusConnection::connectToBus(address, "program");
    TDesktopNotifier notifier(program, dialogs);
    TDesktopNotifier nowhere(QDBusConnection(QStringLiteral("never connected")), dialogs);
    const QtMessageHandler previous = qInstallMessageHandler(RecordMessage);
    notifier.Notify("Download complete", "clip.flv", file);
    nowhere.Notify("Download complete", "clip.flv", file);
    Settle(program);
    qInstallMessageHandler(previous);
    EXPECT_EQ(QtMessages, std::vector<QString>{});

    QDBusConnection service = QDBusConnection::connectToBus(address, "service");
    TRecordingService recorder;
    ASSERT_TRUE(service.registerObject(kPath, &recorder, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(kInterface));
    notifier.Notify("Download complete", "clip.flv", file);
    notifier.Notify("Error downloading video file!", "other.flv\nhost: 404 Not Found", QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.Calls.size() == 2; }, 20000));
    EXPECT_EQ(recorder.Calls[0],
              (QVariantList{"Sorlen", 0u, "sorlen", "Download complete", "clip.flv",
                            QStringList{"open", "Open", "open-folder", "Open Folder"}, -1}));
    EXPECT_EQ(recorder.Calls[1][5], QStringList{});
    Settle(program);
    for (const auto& [name, id, detail] :
         {std::tuple<const char*, uint, QVariant>{"ActionInvoked", 1, "open"},
          {"ActionInvoked", 1, "open-folder"},
          {"ActionInvoked", 2, "open"},  // offered nothing
          {"NotificationClosed", 1, 2u},
          {"ActionInvoked", 1, "open"}}) {  // gone
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, name);
        signal << id << detail;
        service.send(signal);
        Settle(service);
        Settle(program);
    }
    EXPECT_EQ(dialogs.Opened,
              (std::vector<QString>{file, QString::fromStdString(folder.File("films/"))}));
    EXPECT_TRUE(dialogs.Messages.empty());
    for (const char* name : {"service", "program"}) QDBusConnection::disconnectFromBus(name);
}

}  // namespace

#include "NotificationTest.moc"

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

class Notifications : public ::testing::Test {
protected:
    void SetUp() override {
        Folder.Write("bus.conf",
                     "<busconfig><type>session</type><listen>unix:path=" + Folder.File("bus") +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                         "</policy></busconfig>\n");
        ASSERT_TRUE(Bus.Start({"dbus-daemon", "--config-file=" + Folder.File("bus.conf"),
                               "--nofork", "--print-address=1"},
                              {.StdoutPipe = true}));
        Address = QString::fromStdString(Bus.ReadLine(20000));
        ASSERT_FALSE(Address.isEmpty()) << "dbus-daemon did not start";
        Folder.Write("films/clip.flv", "video");
    }
    void TearDown() override {
        for (const char* name : {"service", "program"}) QDBusConnection::disconnectFromBus(name);
    }
    QDBusConnection Connect(const char* name) const {
        return QDBusConnection::connectToBus(Address, QString::fromLatin1(name));
    }
    // What the bus has sent this connection so far is handled: a blocking round trip through
    // the bus daemon comes back after every earlier reply.
    static void Settle(const QDBusConnection& bus) {
        bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetId"));
        QCoreApplication::processEvents();
    }

    TTempFolder Folder;
    TProcess Bus;
    QString Address;
    TFakeDialogs Dialogs;
};

TEST_F(Notifications, NothingWithoutAServiceThenTheCallAndItsActionsThroughTheSeam) {
    QDBusConnection program = Connect("program");
    TDesktopNotifier notifier(program, Dialogs);
    TDesktopNotifier nowhere(QDBusConnection(QStringLiteral("never connected")), Dialogs);
    const QString file = QString::fromStdString(Folder.File("films/clip.flv"));
    const QtMessageHandler previous = qInstallMessageHandler(RecordMessage);
    notifier.Notify("Download complete", "clip.flv", file);
    nowhere.Notify("Download complete", "clip.flv", file);
    Settle(program);
    qInstallMessageHandler(previous);
    EXPECT_EQ(QtMessages, std::vector<QString>{});

    QDBusConnection service = Connect("service");
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
    EXPECT_EQ(Dialogs.Opened,
              (std::vector<QString>{file, QString::fromStdString(Folder.File("films/"))}));
    EXPECT_TRUE(Dialogs.Messages.empty());
}

}  // namespace

#include "NotificationTest.moc"

// The Notify call, and the signals that report what became of a notification.
#include "app/TDesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

#include "ui/TDialogs.h"
#include "ui/Translate.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kOpen = QStringLiteral("open");
const QString kOpenFolder = QStringLiteral("open-folder");

}  // namespace

TDesktopNotifier::TDesktopNotifier(const QDBusConnection& bus, TDialogs& dialogs)
    : Bus(bus), Dialogs(dialogs) {}

void TDesktopNotifier::Notify(const QString& summary, const QString& body, const QString& file) {
    if (!Bus.isConnected()) return;
    if (!Subscribed) {
        Subscribed = true;
        Bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(ActionInvoked(uint, QString)));
        Bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(NotificationClosed(uint, uint)));
    }
    QStringList actions;
    if (!file.isEmpty()) {
        actions << kOpen << Tr("Open") << kOpenFolder << Tr("Open Folder");
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // Application, no notification to replace, icon, texts, actions, no hints, the service's
    // own display time.
    call << QStringLiteral("Sorlen") << uint(0) << QStringLiteral("sorlen") << summary << body
         << actions << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(Bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, file](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (!reply.isError() && !file.isEmpty()) Files[reply.value()] = file;
            });
}

void TDesktopNotifier::ActionInvoked(uint id, const QString& action) {
    const auto found = Files.find(id);
    if (found == Files.end()) return;
    const QString file = found->second;
    if (action == kOpen) {
        OpenOrSayWhy(Dialogs, nullptr, file);
    } else if (action == kOpenFolder) {
        OpenOrSayWhy(Dialogs, nullptr, QFileInfo(file).absolutePath() + QLatin1Char('/'));
    }
}

void TDesktopNotifier::NotificationClosed(uint id, uint) {
    Files.erase(id);
}

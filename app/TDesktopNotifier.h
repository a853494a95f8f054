// Desktop notifications through the freedesktop Notifications service on a D-Bus session bus.
// UI thread only. Every call is asynchronous, so without a bus or without a service a
// notification is simply dropped. The actions offered with a file ("Open", "Open Folder") open
// it through the dialog seam, which says why when that fails; the seam must outlive this.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <map>

class TDialogs;

class TDesktopNotifier : public QObject {
    Q_OBJECT
public:
    TDesktopNotifier(const QDBusConnection& bus, TDialogs& dialogs);

    void Notify(const QString& summary, const QString& body, const QString& file);

private slots:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    QDBusConnection Bus;
    TDialogs& Dialogs;
    bool Subscribed = false;
    // The files of notifications still on the screen with their actions, by the service's id.
    std::map<uint, QString> Files;
};

// Test answers for the dialog seam and an extractor double the tests drive by hand.
#pragma once

#include <QDialog>
#include <functional>

#include "sites/TVideo.h"
#include "ui/TDialogs.h"

struct TFakeDialogs : TDialogs {
    struct TMessage {
        QString Title;
        QString Text;
        TIcon Icon;
    };
    std::vector<TMessage> Messages;
    // Runs while a message box is up, after it has been recorded.
    std::function<void()> OnMessage;
    std::optional<QString> FolderAnswer;
    std::vector<std::pair<QString, QPoint>> FolderCalls;
    std::vector<QDialog*> Shown;
    // Acts on a shown dialog as the user would; the dialog's result is then the answer.
    std::function<void(QDialog*)> ModalScript;
    std::vector<QString> Opened;
    bool OpenAnswer = true;            // whether the desktop could open what was asked
    std::vector<QStringList> Notices;  // summary, body and file of each notification
    struct TSaveCall {
        QString FileName;
        QString Folder;
        QStringList Filters;
    };
    std::vector<TSaveCall> SaveCalls;
    // The save dialog's answer; unset, it is cancelled.
    std::function<std::optional<QString>(QWidget* owner, const TSaveCall&)> SaveAnswer;
    std::vector<QString> Questions;
    bool QuestionAnswer = true;

    void MessageBox(QWidget*, const QString& title, const QString& text, TIcon icon) override {
        Messages.push_back({title, text, icon});
        if (OnMessage) OnMessage();
    }
    bool Question(QWidget*, const QString&, const QString& text) override {
        Questions.push_back(text);
        return QuestionAnswer;
    }
    std::optional<QString> SaveFile(QWidget* owner, const QString& fileName, const QString& folder,
                                    const QStringList& filters) override {
        SaveCalls.push_back({fileName, folder, filters});
        return SaveAnswer ? SaveAnswer(owner, SaveCalls.back()) : std::nullopt;
    }
    std::optional<QString> SelectFolder(QWidget*, const QString& prompt, const QString&,
                                        QPoint topLeft) override {
        FolderCalls.emplace_back(prompt, topLeft);
        return FolderAnswer;
    }
    int ShowModal(QDialog* dialog) override {
        Shown.push_back(dialog);
        if (!ModalScript) return QDialog::Accepted;
        dialog->setResult(QDialog::Rejected);
        dialog->show();
        ModalScript(dialog);
        return dialog->result();
    }
    bool OpenDocument(const QString& path) override {
        Opened.push_back(path);
        return OpenAnswer;
    }
    void Notify(const QString& summary, const QString& body, const QString& file) override {
        Notices.push_back({summary, body, file});
    }
};

// What the extractor double saw; outlives the double, which the window frees.
struct TVideoLog {
    int Created = 0;
    int32_t Kind = 0;
    int32_t Quality = -1;
    std::string PageUrl;
    TProxy Proxy;
    int Starts = 0;
    int Cancels = 0;
    bool Destroyed = false;
    std::string Media;  // the media found by a report inside Start
};

class TFakeVideo : public TVideo {
public:
    // reportInStart >= 0: report that code from inside Start, as an early failure does.
    TFakeVideo(TVideoLog& log, int32_t reportInStart) : Log(log), ReportInStart(reportInStart) {}
    ~TFakeVideo() override { Log.Destroyed = true; }

    void Start() override {
        Cancelled = false;
        ++Log.Starts;
        Log.PageUrl = PageUrl;
        Log.Proxy = Proxy;
        if (ReportInStart >= 0) {
            ErrorCode = ReportInStart;
            MediaUrl = Log.Media;
            ReportDone();
            // Still alive here: the owner must not free us while Start is running.
            Title = "after report";
        }
    }
    void Cancel() override {
        Cancelled = true;
        ++Log.Cancels;
    }
    void Finish(int32_t code, std::string title = "", std::string media = "",
                std::string cookies = "") {
        ErrorCode = code;
        Title = std::move(title);
        MediaUrl = std::move(media);
        Cookies = std::move(cookies);
        ReportDone();
    }

private:
    TVideoLog& Log;
    int32_t ReportInStart;
};

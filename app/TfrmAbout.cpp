// Program name, purpose and the banner.
#include "app/TfrmAbout.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "app/Banner.h"
#include "ui/Translate.h"

TfrmAbout::TfrmAbout(QWidget* owner) : QDialog(owner) {
    setWindowTitle(Tr("About Sorlen"));
    auto* banner = new QLabel(this);
    banner->setPixmap(MakeBanner());
    auto* text = new QLabel(Tr("<b>Sorlen</b> %1<br><br>"
                               "Downloads videos from YouTube, DailyMotion and Blip.tv.<br>"
                               "Paste the address of a video page and press \"OK\".<br><br>"
                               "Its networking, HTTP and pattern matching are its own code.")
                                .arg(QStringLiteral(SORLEN_VERSION)),
                            this);
    text->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(banner);
    layout->addWidget(text);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

// Folder tree over QFileSystemModel, folders only.
#include "app/TfrmSelectFolder.h"
#include "ui/Translate.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QTreeView>
#include <QVBoxLayout>

TfrmSelectFolder::TfrmSelectFolder(QWidget* owner, const QString& prompt, const QString& initial)
    : QDialog(owner), Model(new QFileSystemModel(this)), Tree(new QTreeView(this)) {
    setWindowTitle(Tr("Browse for Folder"));
    resize(300, 340);

    Model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    Model->setRootPath(QDir::rootPath());
    Tree->setModel(Model);
    Tree->setHeaderHidden(true);
    for (int column = 1; column < Model->columnCount(); ++column) Tree->hideColumn(column);
    const QString start = initial.isEmpty() ? QDir::homePath() : initial;
    const QModelIndex startIndex = Model->index(start);
    Tree->setCurrentIndex(startIndex);
    Tree->scrollTo(startIndex);
    Tree->expand(startIndex);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(prompt, this));
    layout->addWidget(Tree);
    layout->addWidget(buttons);
}

QString TfrmSelectFolder::Folder() const {
    const QModelIndex index = Tree->currentIndex();
    if (!index.isValid()) return QString();
    QString path = Model->filePath(index);
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    return path;
}

QPoint FolderPickerPosition(QPoint ownerTopLeft, QSize screen) {
    const int x =
        screen.width() < ownerTopLeft.x() + 370 ? screen.width() - 320 : ownerTopLeft.x() + 50;
    const int y =
        screen.height() < ownerTopLeft.y() + 370 ? screen.height() - 320 : ownerTopLeft.y() + 50;
    return QPoint(x, y);
}

// Small pieces every form uses: the form font, buttons placed by coordinates, and file paths
// between the program's byte strings and Qt text. UI thread only.
#pragma once

#include <QFile>
#include <QFont>
#include <QPushButton>
#include <QString>
#include <string>

// The forms are laid out for Tahoma 8 pt; without it the nearest sans stands in.
inline QFont FormFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed")});
    font.setPointSize(8);
    return font;
}

inline QPushButton* Button(QWidget* parent, const QString& caption, int x, int y, int w, int h) {
    auto* button = new QPushButton(caption, parent);
    button->setGeometry(x, y, w, h);
    return button;
}

inline QString FromPath(const std::string& path) {
    return QFile::decodeName(path.c_str());
}

inline std::string ToPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

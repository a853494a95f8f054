// The 345 x 60 picture across the top of the main window and the about box, drawn in code.
#pragma once

#include <QPixmap>

QPixmap MakeBanner();

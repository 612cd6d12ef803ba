#pragma once

#include <QString>
#include <QStringList>

// The UI text table: four cells per row (0 Simplified Chinese, 1 English, 2 Traditional
// Chinese, 3 Japanese); the cell of a row in the current language is row * 4 + gLan.
extern QStringList gaLanStr;
extern int gLan;

constexpr int kLanCount = 4;

// Fills gaLanStr. Rows without text stay empty strings.
void initLanStr();

// The text of a row in the current language (empty for a row out of range); a gLan outside
// the four languages reads Simplified Chinese.
QString lanText(int row);

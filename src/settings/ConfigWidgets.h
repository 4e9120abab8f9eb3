// What the two halves of the options dialog share: the pages (ConfigPages.cpp) and the logic
// behind them (config.cpp). Private to those two files.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

#include "settings/config.h"

namespace zul {

inline QString Text(const char* s) {
  return QString::fromUtf8(s);
}

// A stored 0x00BBGGRR colour as the colour it names, and back.
inline QColor ColorOf(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

inline uint32_t BgrOf(const QColor& c) {
  return static_cast<uint32_t>(c.red()) | static_cast<uint32_t>(c.green()) << 8 |
         static_cast<uint32_t>(c.blue()) << 16;
}

// The program's own operations; the dialogs they open belong to `owner`.
TConfigActions DefaultActions(QWidget* owner);

}  // namespace zul

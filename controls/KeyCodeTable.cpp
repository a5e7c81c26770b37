#include "controls/KeyCodeTable.h"

namespace mixelot::controls {

namespace {

struct Key {
  int keyCode;
  int evdev;
  // The key's symbol on a US layout, as X11 names it: desktops that bind shortcuts by symbol
  // (the portal) take it as a hint.
  const char* keysym;
};

// From the physical layout of an ANSI keyboard.
constexpr Key kTable[] = {
    {0, 30, "a"},                       // A
    {1, 31, "s"},                       // S
    {2, 32, "d"},                       // D
    {3, 33, "f"},                       // F
    {4, 35, "h"},                       // H
    {5, 34, "g"},                       // G
    {6, 44, "z"},                       // Z
    {7, 45, "x"},                       // X
    {8, 46, "c"},                       // C
    {9, 47, "v"},                       // V
    {10, 86, "less"},                   // ISO section key (102nd key)
    {11, 48, "b"},                      // B
    {12, 16, "q"},                      // Q
    {13, 17, "w"},                      // W
    {14, 18, "e"},                      // E
    {15, 19, "r"},                      // R
    {16, 21, "y"},                      // Y
    {17, 20, "t"},                      // T
    {18, 2, "1"},                       // 1
    {19, 3, "2"},                       // 2
    {20, 4, "3"},                       // 3
    {21, 5, "4"},                       // 4
    {22, 7, "6"},                       // 6
    {23, 6, "5"},                       // 5
    {24, 13, "equal"},                  // =
    {25, 10, "9"},                      // 9
    {26, 8, "7"},                       // 7
    {27, 12, "minus"},                  // -
    {28, 9, "8"},                       // 8
    {29, 11, "0"},                      // 0
    {30, 27, "bracketright"},           // ]
    {31, 24, "o"},                      // O
    {32, 22, "u"},                      // U
    {33, 26, "bracketleft"},            // [
    {34, 23, "i"},                      // I
    {35, 25, "p"},                      // P
    {36, 28, "Return"},                 // Return
    {37, 38, "l"},                      // L
    {38, 36, "j"},                      // J
    {39, 40, "apostrophe"},             // '
    {40, 37, "k"},                      // K
    {41, 39, "semicolon"},              // ;
    {42, 43, "backslash"},              // backslash
    {43, 51, "comma"},                  // ,
    {44, 53, "slash"},                  // /
    {45, 49, "n"},                      // N
    {46, 50, "m"},                      // M
    {47, 52, "period"},                 // .
    {48, 15, "Tab"},                    // Tab
    {49, 57, "space"},                  // Space
    {50, 41, "grave"},                  // `
    {51, 14, "BackSpace"},              // Backspace
    {53, 1, "Escape"},                  // Escape
    {54, 126, "Super_R"},               // right Super
    {55, 125, "Super_L"},               // left Super
    {56, 42, "Shift_L"},                // left Shift
    {57, 58, "Caps_Lock"},              // Caps Lock
    {58, 56, "Alt_L"},                  // left Alt
    {59, 29, "Control_L"},              // left Control
    {60, 54, "Shift_R"},                // right Shift
    {61, 100, "Alt_R"},                 // right Alt
    {62, 97, "Control_R"},              // right Control
    {64, 187, "F17"},                   // F17
    {65, 83, "KP_Decimal"},             // keypad .
    {67, 55, "KP_Multiply"},            // keypad *
    {69, 78, "KP_Add"},                 // keypad +
    {71, 69, "Num_Lock"},               // keypad Clear (Num Lock position)
    {72, 115, "XF86AudioRaiseVolume"},  // volume up
    {73, 114, "XF86AudioLowerVolume"},  // volume down
    {74, 113, "XF86AudioMute"},         // mute
    {75, 98, "KP_Divide"},              // keypad /
    {76, 96, "KP_Enter"},               // keypad Enter
    {78, 74, "KP_Subtract"},            // keypad -
    {79, 188, "F18"},                   // F18
    {80, 189, "F19"},                   // F19
    {81, 117, "KP_Equal"},              // keypad =
    {82, 82, "KP_0"},                   // keypad 0
    {83, 79, "KP_1"},                   // keypad 1
    {84, 80, "KP_2"},                   // keypad 2
    {85, 81, "KP_3"},                   // keypad 3
    {86, 75, "KP_4"},                   // keypad 4
    {87, 76, "KP_5"},                   // keypad 5
    {88, 77, "KP_6"},                   // keypad 6
    {89, 71, "KP_7"},                   // keypad 7
    {90, 190, "F20"},                   // F20
    {91, 72, "KP_8"},                   // keypad 8
    {92, 73, "KP_9"},                   // keypad 9
    {96, 63, "F5"},                     // F5
    {97, 64, "F6"},                     // F6
    {98, 65, "F7"},                     // F7
    {99, 61, "F3"},                     // F3
    {100, 66, "F8"},                    // F8
    {101, 67, "F9"},                    // F9
    {103, 87, "F11"},                   // F11
    {105, 183, "F13"},                  // F13
    {106, 186, "F16"},                  // F16
    {107, 184, "F14"},                  // F14
    {109, 68, "F10"},                   // F10
    {111, 88, "F12"},                   // F12
    {113, 185, "F15"},                  // F15
    {114, 110, "Insert"},               // Help / Insert
    {115, 102, "Home"},                 // Home
    {116, 104, "Prior"},                // Page Up
    {117, 111, "Delete"},               // Delete
    {118, 62, "F4"},                    // F4
    {119, 107, "End"},                  // End
    {120, 60, "F2"},                    // F2
    {121, 109, "Next"},                 // Page Down
    {122, 59, "F1"},                    // F1
    {123, 105, "Left"},                 // Left
    {124, 106, "Right"},                // Right
    {125, 108, "Down"},                 // Down
    {126, 103, "Up"},                   // Up
};

template <typename F>
const Key* find(F&& matches) {
  for (const auto& key : kTable)
    if (matches(key)) return &key;
  return nullptr;
}

}  // namespace

std::optional<int> evdevFromKeyCode(std::int64_t keyCode) {
  const Key* key = find([keyCode](const Key& k) { return k.keyCode == keyCode; });
  if (!key) return std::nullopt;
  return key->evdev;
}

std::optional<std::int64_t> keyCodeFromEvdev(int evdev) {
  const Key* key = find([evdev](const Key& k) { return k.evdev == evdev; });
  if (!key) return std::nullopt;
  return key->keyCode;
}

std::optional<std::string_view> keysymFromKeyCode(std::int64_t keyCode) {
  const Key* key = find([keyCode](const Key& k) { return k.keyCode == keyCode; });
  if (!key) return std::nullopt;
  return key->keysym;
}

}  // namespace mixelot::controls

#ifndef STATUS_LAMPS_H
#define STATUS_LAMPS_H

// Looks of the status lamps. A bright colour marks the active state of a link that is up, the
// dark shade of the same hue its inactive state; no colour at all means the link is down.
namespace lamp
{

const char* const kBrightGreen = "QLabel {background: rgb(0, 255, 0);}";
const char* const kDarkGreen = "QLabel {background: rgb(30, 70, 30);}";
const char* const kBrightRed = "QLabel {background: rgb(255, 0, 0);}";
const char* const kDarkRed = "QLabel {background: rgb(70, 30, 30);}";
const char* const kOrange = "QLabel {background: orange;}";
const char* const kNoColour = "";

} // namespace lamp

#endif // STATUS_LAMPS_H

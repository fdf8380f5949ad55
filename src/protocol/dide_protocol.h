#ifndef DIDE_PROTOCOL_H
#define DIDE_PROTOCOL_H

#include <cstddef>
#include <string>
#include <string_view>

// The DIDE command protocol of the Tervian vision application: single-element XML requests
// sent on the command port, and the judging of the one reply that answers each of them.
namespace dide
{

inline constexpr char kProjectLoad[] = "Project_Load";
inline constexpr char kDeviceAcquisition[] = "Device_Acquisition";

// Loads the project file projectName + ".t_p"; the name is inserted verbatim.
std::string LoadProjectRequest(const std::string& projectName);

// Switches the sensor's acquisition (laser and measuring) on or off.
std::string AcquisitionRequest(bool on);

// A reply ends with its DIDE element: "/>" of an empty element, or the ">" of its end tag;
// a ">" inside a quoted value ends nothing. The length of the reply in received up to that
// end (bytes before the element belong to it), or 0 while the element has not ended.
size_t ReplyLength(std::string_view received);

// True when the reply's DIR value is "ReplyOk" and its CMD value is exactly command.
bool IsSuccessReply(const std::string& reply, const std::string& command);

// Reads the reply's VALUE attribute as a decimal integer, a ".t_p" extension cut off.
// False, with 0 stored, when there is no VALUE or anything follows the number.
bool ReadValue(const std::string& reply, int* value);

// The project number that a project ID names: its leading decimal number truncated toward
// zero, 0 when the text does not start with one, clamped to the int range.
int ProjectNumber(const std::string& projectId);

} // namespace dide

#endif // DIDE_PROTOCOL_H

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

// Finds the DIDE elements in what the application sends, however TCP cuts it. An element runs
// from "<DIDE" to the "/>" of an empty element or the ">" of its end tag; a ">" inside a quoted
// value ends nothing. Bytes between elements (line ends, blanks) belong to none.
class ElementReader
{
public:
    enum class Piece { None, Element, Between };

    void Feed(std::string_view bytes);
    // Takes the next whole element, or the bytes before it that are not all blank; None
    // while no element has ended.
    Piece Next(std::string* text);
    // How many bytes are held of an element that has begun but not ended; 0 when none has.
    size_t Begun() const;
    void Clear() { m_held.clear(); }

private:
    std::string m_held;
};

// The value of an attribute of the element's start tag, as written between its quotes. False
// when the tag has no attribute of exactly that name.
bool Attribute(std::string_view element, std::string_view name, std::string* value);

enum class Verdict { Unrelated, Accepted, Rejected };

// The reply to a request is an element with the request's CMD and a DIR that begins with
// "Reply"; "ReplyOk" accepts it, any other reply rejects it. Anything else the application
// says is no answer to the request.
Verdict JudgeReply(std::string_view element, std::string_view command);

// Reads the reply's VALUE attribute as a decimal integer, a ".t_p" extension cut off.
// False, with 0 stored, when there is no VALUE or anything follows the number.
bool ReadValue(const std::string& reply, int* value);

// The project number that a project ID names: its leading decimal number truncated toward
// zero, 0 when the text does not start with one, clamped to the int range.
int ProjectNumber(const std::string& projectId);

} // namespace dide

#endif // DIDE_PROTOCOL_H

#ifndef DIDE_TEXT_H
#define DIDE_TEXT_H

#include <QByteArray>

#include <optional>

// Removes the first complete request element from the front of buffer and returns it, or
// nothing while the element is still incomplete. White space between requests is dropped.
std::optional<QByteArray> takeRequest(QByteArray& buffer);

// The value of the attribute name="..." in element, or nothing when it is absent.
std::optional<QByteArray> attributeValue(const QByteArray& element, const QByteArray& name);

// The project a FILE value names: the value without its ".t_p" extension.
QByteArray projectName(const QByteArray& file);

// <DIDE DIR="ReplyOk" CMD="command"/>, or DIR="ReplyError" when ok is false.
QByteArray dideReply(bool ok, const QByteArray& command);

// The text with control bytes written as \xNN, so that it fits on one output line.
QByteArray printable(const QByteArray& text);

#endif // DIDE_TEXT_H

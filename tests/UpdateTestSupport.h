// Helpers shared by the update file and transfer suites.
#pragma once

#include <QByteArray>

#if defined(__SANITIZE_ADDRESS__)
// An allocation larger than memory must come back as null, as it does without the sanitizer,
// instead of aborting the run: the oversized-file cases depend on it.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

// Bytes written as hexadecimal text; blanks between the bytes are skipped.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

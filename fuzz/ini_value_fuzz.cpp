// The written form of an INI value: any value without NUL reads back
// exactly as it was written, and the written text never holds a line break,
// so one value cannot become more lines of the file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "win32/ini_value.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ecran::win32::ini;
    std::string value(reinterpret_cast<const char*>(data), size);
    // The profile functions end a value at its first NUL: no NUL reaches the
    // file.
    value = value.substr(0, value.find('\0'));

    const std::string written = encodeValue(value);
    FUZZ_CHECK(written.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(decodeValue(written) == value);
    // Blanks the reader trims around "=" do not change what it reads.
    FUZZ_CHECK(decodeValue(" \t" + written + "\t ") == value);
    // Values that need no quoting are written exactly as they are.
    if (!needsQuotedForm(value)) FUZZ_CHECK(written == value);

    // Any text after "=" decodes to something, and decoding is stable for
    // what the reader itself produced once it is written again.
    const std::string read = decodeValue(value);
    FUZZ_CHECK(decodeValue(encodeValue(read)) == read);
    return 0;
}

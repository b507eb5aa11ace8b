#include "tool.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dtmftools {
namespace {

const char* program_name = "dtmf-tool";

// Length of the valid UTF-8 sequence at the start of `s`, or 0 if there is
// none (bad lead byte, bad continuation, overlong form, surrogate, > U+10FFFF).
std::size_t Utf8SequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (available < length) return 0;
    if (s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return length;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}

void SetProgramName(const char* name) { program_name = name; }

const char* ProgramName() { return program_name; }

// Windows gives a closed standard handle no successor: writes there fail,
// and Output reports them.
void GuardStandardDescriptors() {
#if !defined(_WIN32)
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
#endif
}

void Complain(const std::string& message) { std::fprintf(stderr, "%s: %s\n", program_name, message.c_str()); }

namespace {

int output_error = 0;

[[noreturn]] void OutputError() {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    // Threads may still be reading inputs that never end; nothing is left
    // that the results depend on.
    std::fflush(stderr);
    std::_Exit(1);
}

}

void Output(std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::ferror(stdout)) {
        output_error = errno != 0 ? errno : EIO;
        OutputError();
    }
}

bool FinishOutput() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!flushed) output_error = errno != 0 ? errno : EIO;
    errno = 0;
    if (std::fclose(stdout) != 0 && flushed) output_error = errno != 0 ? errno : EIO;
    if (output_error == 0) return true;
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(output_error));
    return false;
}

int ExitStatus(int status) { return FinishOutput() ? status : 1; }

std::string QuotedName(const std::string& name) {
    bool plain = name.empty() || name[0] != '"';
    for (const char c : name) plain = plain && !IsControl(static_cast<unsigned char>(c));
    if (plain) return name;
    std::string out = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (IsControl(byte)) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\x%02x", byte);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            const std::size_t length = Utf8SequenceLength(bytes + i, text.size() - i);
            if (length == 0) {
                // Only bytes from 0x80 up are ever invalid; \udc80-\udcff
                // cannot stand for text, so a reader maps them back.
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\udc%02x", c);
                out += escape;
                ++i;
                continue;
            }
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string JsonPressMembers(const std::string& time, char key) {
    return "\"time\":" + time + ",\"key\":" + JsonString(std::string_view(&key, 1));
}

}

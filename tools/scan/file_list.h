// The inputs of dtmf-scan: the names on its command line, then those of a
// list (--files-from), with each folder walked (-r) into the files under it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dtmfscan {

struct Input {
    enum class Kind {
        kNamed,    // named by the user: scanned, and a failure counts
        kWalked,   // found in a folder: one that is not audio is skipped
        kFailed,   // cannot be scanned; `message` says why, and it counts
        kSkipped,  // left out with a notice (`message`), not a failure
    };
    std::string path;
    Kind kind = Kind::kNamed;
    std::string message;
};

// The whole text of the list `path` ("-": standard input), or false with
// the reason in `error`.
bool ReadList(const std::string& path, std::string& text, std::string& error);

// The names in a list's text, one per `separator` ('\n', or '\0' as
// find -print0 writes them); empty names are left out.
std::vector<std::string> SplitNames(std::string_view text, char separator);

// The inputs for `names`, in order. A folder, with `recursive`, gives the
// files under it, depth first, each folder's entries sorted bytewise;
// links are followed, except one back to a folder on the way down, which
// is skipped, as is anything neither file nor folder (a FIFO would never
// end). Without `recursive` a folder is an input that fails, pointing to -r.
std::vector<Input> ExpandFolders(const std::vector<std::string>& names, bool recursive);

}

#include "file_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace dtmfscan {
namespace {

std::string Join(const std::string& folder, const char* name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + '/' + name;
}

// Walks folders, remembering those on the way down by device and inode, so
// that a link back to one of them is seen whatever name it has.
class Walk {
public:
    explicit Walk(std::vector<Input>& out) : out_(out) {}

    void Folder(const std::string& path, const struct stat& status) {
        const std::pair<dev_t, ino_t> id{status.st_dev, status.st_ino};
        if (std::find(down_.begin(), down_.end(), id) != down_.end()) {
            out_.push_back({path, Input::Kind::kSkipped, "skipped: a link back to a folder it is in"});
            return;
        }
        std::vector<std::string> names;
        if (!Entries(path, names)) return;
        down_.push_back(id);
        // std::string compares as unsigned bytes: the order of the C locale.
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) Entry(Join(path, name.c_str()));
        down_.pop_back();
    }

private:
    bool Entries(const std::string& path, std::vector<std::string>& names) {
        DIR* const dir = opendir(path.c_str());
        if (dir == nullptr) {
            out_.push_back({path, Input::Kind::kFailed, std::strerror(errno)});
            return false;
        }
        errno = 0;
        for (const dirent* entry; (entry = readdir(dir)) != nullptr; errno = 0) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        const int error = errno;
        closedir(dir);
        if (error == 0) return true;
        out_.push_back({path, Input::Kind::kFailed, std::strerror(error)});
        return false;
    }

    void Entry(const std::string& path) {
        struct stat status {};
        // A link that leads nowhere is scanned, so that its failure is told.
        if (stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
            out_.push_back({path, Input::Kind::kWalked, {}});
        } else if (S_ISDIR(status.st_mode)) {
            Folder(path, status);
        } else {
            out_.push_back({path, Input::Kind::kSkipped, "skipped: not a regular file"});
        }
    }

    std::vector<Input>& out_;
    std::vector<std::pair<dev_t, ino_t>> down_;
};

}

bool ReadList(const std::string& path, std::string& text, std::string& error) {
    const int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    const int read_error = got < 0 ? errno : 0;
    if (fd != STDIN_FILENO) close(fd);
    if (read_error == 0) return true;
    error = std::strerror(read_error);
    return false;
}

std::vector<std::string> SplitNames(std::string_view text, char separator) {
    std::vector<std::string> names;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find(separator), text.size());
        if (end > 0) names.emplace_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return names;
}

std::vector<Input> ExpandFolders(const std::vector<std::string>& names, bool recursive) {
    std::vector<Input> inputs;
    Walk walk(inputs);
    for (const std::string& name : names) {
        struct stat status {};
        if (name == "-" || stat(name.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            inputs.push_back({name, Input::Kind::kNamed, {}});
        } else if (recursive) {
            walk.Folder(name, status);
        } else {
            inputs.push_back({name, Input::Kind::kFailed, "is a folder (-r scans the files in it)"});
        }
    }
    return inputs;
}

}

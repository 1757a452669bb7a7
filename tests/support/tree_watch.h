// Opens of files and directories in a tree, watched from outside with inotify: which were
// opened, when and in what order, so that a test sees work done ahead of a walk.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace test_support {

// Opens of files and directories in a tree, as inotify reports them, in the order they happened.
class TreeWatch {
  public:
    // Watches top and every directory beneath it, as they are now.
    explicit TreeWatch(const std::string& top) : events(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        WatchBelow(top);
        Drain(0);  // the watch's own listing of the directories
        files.clear();
        closed.clear();
        directories.clear();
    }
    ~TreeWatch() { close(events); }

    // Waits, five seconds at most, until path has been opened and closed again.
    bool WaitUntilRead(const std::string& path) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::find(closed.begin(), closed.end(), path) == closed.end()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            Drain(50);
        }
        return true;
    }
    // How many files were opened by the time nothing has been for a while.
    std::size_t FilesOpenedOnceSettled() {
        while (Drain(500)) {
        }
        return files.size();
    }
    // Every file, then every directory, opened so far, in the order they were.
    const std::vector<std::string>& FilesOpened() {
        Drain(0);
        return files;
    }
    const std::vector<std::string>& DirectoriesOpened() {
        Drain(0);
        return directories;
    }

  private:
    void WatchBelow(const std::string& directory) {
        folders[inotify_add_watch(events, directory.c_str(), IN_OPEN | IN_CLOSE_NOWRITE)] =
            directory;
        if (DIR* stream = opendir(directory.c_str())) {
            while (const dirent* entry = readdir(stream)) {
                const std::string name = entry->d_name;
                if (entry->d_type == DT_DIR && name != "." && name != "..") {
                    WatchBelow(directory + "/" + name);
                }
            }
            closedir(stream);
        }
    }

    // Whether anything happened.
    bool Drain(int waitMilliseconds) {
        pollfd ready{events, POLLIN, 0};
        if (poll(&ready, 1, waitMilliseconds) <= 0) {
            return false;
        }
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t got; (got = read(events, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                Note(*event);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return true;
    }

    void Note(const inotify_event& event) {
        const std::string& folder = folders[event.wd];
        if (event.len == 0) {  // the watched directory itself
            if ((event.mask & IN_OPEN) != 0) {
                directories.push_back(folder);
            }
        } else if ((event.mask & IN_ISDIR) == 0) {
            const std::string path = folder + "/" + event.name;
            ((event.mask & IN_OPEN) != 0 ? files : closed).push_back(path);
        }
    }

    int events;
    std::map<int, std::string> folders;
    std::vector<std::string> files;
    std::vector<std::string> closed;
    std::vector<std::string> directories;
};

}  // namespace test_support

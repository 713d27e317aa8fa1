// Makes a failed search for the driver library cheap to repeat without ever remembering it as
// final. A search that found no file at all is remembered together with a watch on everything
// its outcome depends on (every directory the dynamic loader searches, and the loader's cache
// file); while nothing there has changed, the same search would fail the same way, so a repeat
// costs one non-blocking read instead of a walk over the search path. Any change, or anything the
// watch cannot vouch for, sends the next attempt through the full search again.
//
// Linux only (inotify); elsewhere `still_missing` is always false. Not thread-safe: the loader
// calls it under its own lock.
#pragma once

namespace vant::drv {

class MissingLibraryWatch {
public:
    // True when a search for `name` found no file and nothing it depends on has changed since.
    bool still_missing() noexcept;
    // Called before a search: starts watching, so that a change during the search is seen too.
    void prepare() noexcept;
    // Called after a search that failed. Keeps the watch only when no file of that name exists
    // in any searched directory and the loader's cache does not name it (a file that exists but
    // failed to load is tried again each time).
    void search_failed(const char* name) noexcept;
    // Called after a successful search, or to drop the watch.
    void reset() noexcept;
};

}  // namespace vant::drv

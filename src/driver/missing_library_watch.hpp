// Makes a failed search for the driver library cheap to repeat without ever remembering it as
// final. After a failed search the next attempts are answered "still missing" without asking the
// dynamic loader again, until one of these says the answer may have changed:
// - 90 ms have passed since the last search began (monotonic clock), so whatever the loader may
//   see differently (a re-pointed symlink, a renamed ancestor folder, a mount, a cache file) is
//   found within 100 ms;
// - the process loaded or unloaded a shared object (the loader's own counters): a library of that
//   name loaded by absolute path, or new run paths, are found by the next attempt;
// - an inotify watch on the searched folders reports an entry of that name, a new subfolder, or a
//   change of the loader's cache file: the common installation is found by the next attempt.
// The inotify instance is made once and kept (closing one waits for the kernel); its watches are
// renewed at each search. Without inotify (none available, or a watch that could not be placed)
// the clock alone bounds the delay.
//
// Linux only; elsewhere `still_missing` is always false. Not thread-safe: the loader calls it
// under its own lock.
#pragma once

namespace vant::drv {

class MissingLibraryWatch {
public:
    // True when the last search failed and nothing since calls for a new one.
    bool still_missing() noexcept;
    // Called before a search: renews the watches, so that a change during the search is seen too.
    void prepare() noexcept;
    // Called after a search for `name` that failed.
    void search_failed(const char* name) noexcept;
    // Called after a successful search: releases the watch.
    void reset() noexcept;
};

}  // namespace vant::drv

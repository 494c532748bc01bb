// The scene files of one folder, in name order, with a place that moves
// forwards and backwards through them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Tolvane {

class SceneList {
  public:
    /// Every regular file named *.json directly in folder, sorted by name. An
    /// empty folder name, or one that cannot be listed, gives an empty list.
    explicit SceneList(const std::string& folder = std::string());

    const std::vector<std::string>& files() const { return files_; }
    bool empty() const { return files_.empty(); }

    /// Places the list at path when it is one of its files (compared as
    /// canonical paths); otherwise the list stands before its first file.
    void placeAt(const std::string& path);
    /// The file shown now, if the list has placed one.
    std::optional<std::size_t> current() const { return current_; }

    /// The file after (or before) the current one, wrapping round at the
    /// ends; from before the first file, the first (or the last). Does not
    /// move the list: call moveTo once the file has been loaded.
    std::optional<std::size_t> next() const;
    std::optional<std::size_t> previous() const;
    void moveTo(std::size_t index) { current_ = index; }

  private:
    std::vector<std::string> files_;
    std::optional<std::size_t> current_;
};

/// The shipped scenes folder when it can be found: "scenes" in the working
/// directory or beside it ("../scenes", for a program started in data/), else
/// the source tree's scenes folder the build names; empty when none exists.
std::string defaultScenesFolder(const std::string& builtInFolder);

} // namespace Tolvane

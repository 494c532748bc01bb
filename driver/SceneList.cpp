// Listing the scene files of a folder and stepping through them.
#include "driver/SceneList.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace Tolvane {

namespace fs = std::filesystem;

namespace {

std::string canonical(const std::string& path)
{
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved.string();
}

bool isFolder(const std::string& path)
{
    std::error_code error;
    return !path.empty() && fs::is_directory(path, error);
}

} // namespace

SceneList::SceneList(const std::string& folder)
{
    if (!isFolder(folder))
        return;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code statusError;
        if (entry->path().extension() == ".json" && entry->is_regular_file(statusError))
            files_.push_back(entry->path().string());
    }
    std::sort(files_.begin(), files_.end());
}

void SceneList::placeAt(const std::string& path)
{
    current_.reset();
    const std::string wanted = canonical(path);
    for (std::size_t i = 0; i < files_.size(); ++i)
        if (canonical(files_[i]) == wanted)
            current_ = i;
}

std::optional<std::size_t> SceneList::next() const
{
    if (files_.empty())
        return std::nullopt;
    return current_ ? (*current_ + 1) % files_.size() : 0;
}

std::optional<std::size_t> SceneList::previous() const
{
    if (files_.empty())
        return std::nullopt;
    return current_ && *current_ > 0 ? *current_ - 1 : files_.size() - 1;
}

std::string defaultScenesFolder(const std::string& builtInFolder)
{
    for (const std::string& candidate : {std::string("scenes"), std::string("../scenes"), builtInFolder})
        if (isFolder(candidate))
            return candidate;
    return {};
}

} // namespace Tolvane

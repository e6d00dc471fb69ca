#include "VellumarMacCore/GitProtection/PuttingBack/KeptOffNames.h"

#include <map>

namespace vellumar {

KeptOffNames::KeptOffNames(const std::vector<std::filesystem::path>& paths)
{
    std::map<std::filesystem::path, std::set<std::string>> byFolder;
    for (const auto& path : paths)
        byFolder[path.parent_path()].insert(path.filename().string());
    m_folders.assign(byFolder.begin(), byFolder.end());
}

}

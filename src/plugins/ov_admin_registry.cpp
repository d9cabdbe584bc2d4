#include "ov_admin_registry.h"

#include <algorithm>
#include <memory>

#include "ov_text.h"

namespace ov {

TOVService<TOVAdminMenuList> AdminMenu{"AdminMenu"};
TOVService<TOVAdminPageList> AdminPages{"AdminPages"};

// ---- menu ----------------------------------------------------------------------------------------

void TOVAdminMenuList::AddItem(const std::string& title, const std::string& url, const std::string& icon,
                               const std::string& group, const std::string& owner, std::int32_t position) {
  TOVLockGuard g(lock_);
  items_.push_back({title, url, icon, position, group, owner});
}

void TOVAdminMenuList::RemovePlugin(const std::string& owner) {
  TOVLockGuard g(lock_);
  std::erase_if(items_, [&](const TOVAdminMenuItem& i) { return EqualsFoldCase(i.OwnerPlugin, owner); });
}

TJSON TOVAdminMenuList::GetItems() const {
  TJSON arr = TJSON::array();
  TOVLockGuard g(lock_);
  for (const auto& i : items_) {
    TJSON o = TJSON::object();
    o["title"] = i.Title;
    o["url"] = i.URL;
    o["icon"] = i.Icon;
    o["position"] = i.Position;
    o["plugin"] = i.PluginName;
    o["owner"] = i.OwnerPlugin;
    arr.push_back(std::move(o));
  }
  return arr;
}

// ---- pages ---------------------------------------------------------------------------------------

void TOVAdminPageList::AddPage(const std::string& path, const std::string& plugin, const std::string& html_file) {
  TOVLockGuard g(lock_);
  pages_.push_back({path, plugin, html_file});
}

void TOVAdminPageList::RemovePlugin(const std::string& plugin) {
  TOVLockGuard g(lock_);
  std::erase_if(pages_, [&](const TOVAdminPageEntry& p) { return EqualsFoldCase(p.PluginName, plugin); });
}

const TOVAdminPageEntry* TOVAdminPageList::Find(const std::string& path) const {
  auto it = std::find_if(pages_.begin(), pages_.end(), [&](const TOVAdminPageEntry& p) { return EqualsIgnoreCase(p.Path, path); });
  return it == pages_.end() ? nullptr : &*it;
}

std::string TOVAdminPageList::GetPageFile(const std::string& path) const {
  TOVLockGuard g(lock_);
  const TOVAdminPageEntry* e = Find(path);
  return e ? e->PluginName + "/web/" + e->HtmlFile : std::string();
}

std::string TOVAdminPageList::GetPluginForPath(const std::string& path) const {
  TOVLockGuard g(lock_);
  const TOVAdminPageEntry* e = Find(path);
  return e ? e->PluginName : std::string();
}

bool FindAdminPage(const std::string& path, std::string& rel_file) {
  auto pages = AdminPages.Get();
  if (!pages) return false;
  rel_file = pages->GetPageFile(path);
  return !rel_file.empty();
}

// ---- start-up and shutdown -------------------------------------------------------------------------

void StartupAdminMenu() { AdminMenu.Publish(std::make_unique<TOVAdminMenuList>()); }

void ShutdownAdminMenu(const std::function<void(const std::string&)>& step) { FreeServiceStep(AdminMenu, step); }

void StartupAdminPages() { AdminPages.Publish(std::make_unique<TOVAdminPageList>()); }

void ShutdownAdminPages(const std::function<void(const std::string&)>& step) { FreeServiceStep(AdminPages, step); }

}  // namespace ov

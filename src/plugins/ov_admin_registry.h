// What plug-ins add to the web administration: menu items (global AdminMenu) and HTML pages
// served from a plug-in's web directory under a path of their own (global AdminPages).  Plug-ins
// fill both through their host (AdminAddMenu, AdminRegisterPage) while they are enabled; the
// plug-in manager removes a plug-in's part when it is disabled.
//
// Lock: each list guards itself (a registry lock); nothing is called while it is held.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ov_json_helpers.h"
#include "ov_locks.h"
#include "ov_service.h"

namespace ov {

struct TOVAdminMenuItem {
  std::string Title;
  std::string URL;
  std::string Icon;
  std::int32_t Position = 0;
  std::string PluginName;   // the menu group the item is shown in
  std::string OwnerPlugin;  // the plug-in that added it
};

class TOVAdminMenuList {
 public:
  TOVAdminMenuList() = default;
  TOVAdminMenuList(const TOVAdminMenuList&) = delete;
  TOVAdminMenuList& operator=(const TOVAdminMenuList&) = delete;

  // Appends an item (no duplicate check; the client orders by position).
  void AddItem(const std::string& title, const std::string& url, const std::string& icon, const std::string& group,
               const std::string& owner, std::int32_t position) EXCLUDES(lock_);
  // Removes every item owned by the plug-in (name compared ignoring case).
  void RemovePlugin(const std::string& owner) EXCLUDES(lock_);
  // [{"title", "url", "icon", "position", "plugin" (the group), "owner"}] in insertion order.
  TJSON GetItems() const EXCLUDES(lock_);

 private:
  // ---- Guarded by lock_ ----
  mutable TOVLock lock_{LockLevel::Registry};
  std::vector<TOVAdminMenuItem> items_ GUARDED_BY(lock_);
};

struct TOVAdminPageEntry {
  std::string Path;
  std::string PluginName;
  std::string HtmlFile;
};

class TOVAdminPageList {
 public:
  TOVAdminPageList() = default;
  TOVAdminPageList(const TOVAdminPageList&) = delete;
  TOVAdminPageList& operator=(const TOVAdminPageList&) = delete;

  // Appends an entry (no duplicate check: the first entry for a path wins).
  void AddPage(const std::string& path, const std::string& plugin, const std::string& html_file) EXCLUDES(lock_);
  // Removes every entry of the plug-in (name compared ignoring case).
  void RemovePlugin(const std::string& plugin) EXCLUDES(lock_);
  // For the first entry whose path equals path ignoring case: <plugin>/web/<html file>, relative
  // to the plug-in directory; "" when none.
  std::string GetPageFile(const std::string& path) const EXCLUDES(lock_);
  // The plug-in of the first entry for path (ignoring case), or "".
  std::string GetPluginForPath(const std::string& path) const EXCLUDES(lock_);

 private:
  const TOVAdminPageEntry* Find(const std::string& path) const REQUIRES(lock_);

  // ---- Guarded by lock_ ----
  mutable TOVLock lock_{LockLevel::Registry};
  std::vector<TOVAdminPageEntry> pages_ GUARDED_BY(lock_);
};

extern TOVService<TOVAdminMenuList> AdminMenu;
extern TOVService<TOVAdminPageList> AdminPages;

// The HTTP server's page look-up over AdminPages: true with rel_file set when path is a page.
bool FindAdminPage(const std::string& path, std::string& rel_file);

// Start-up and shutdown rows of the service table ("AdminMenu.Free", "AdminPages.Free").
void StartupAdminMenu();
void ShutdownAdminMenu(const std::function<void(const std::string&)>& step);
void StartupAdminPages();
void ShutdownAdminPages(const std::function<void(const std::string&)>& step);

}  // namespace ov

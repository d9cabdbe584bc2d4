// libFuzzer target for the script package manager: arbitrary bytes installed as a package into
// a temporary scripts directory (SQLite database, TMPDIR of its own).  Whatever the input:
//   - nothing appears, changes or disappears outside the scripts directory (the work directory
//     holds only what it held before, a file outside keeps its bytes, the temporary directory
//     is empty again after every install);
//   - below the scripts directory there are only the four type directories, and nothing in
//     them is a symbolic link or special file;
//   - an installed package uninstalls completely.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "ov_database.h"
#include "ov_json_helpers.h"
#include "ov_script_manager.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// One work directory, database and manager for the whole run.  Never destroyed: at exit the
// lock-order checks' per-thread state is gone before static objects would be; only the work
// directory is removed then.
struct World {
  std::string work;
  std::unique_ptr<ov::TOVScriptManager> mgr;

  World() {
    work = (fs::temp_directory_path() / "ov-fuzz-scripts-XXXXXX").string();
    if (!::mkdtemp(work.data())) std::abort();
    fs::create_directories(work + "/tmp");
    fs::create_directories(work + "/outside");
    std::ofstream(work + "/outside/keep.txt") << "keep";
    ::setenv("TMPDIR", (work + "/tmp").c_str(), 1);
    ov::DB.Publish(std::make_unique<ov::TOVDatabase>(work + "/orvanta.db"));
    mgr = std::make_unique<ov::TOVScriptManager>(work + "/scripts");
  }
};

World* TheWorld() {
  static World* w = [] {
    auto* made = new World;
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(TheWorld()->work, ec);
    });
    return made;
  }();
  return w;
}

const std::set<std::string> kWorkEntries = {"in.ovpkg",    "orvanta.db", "orvanta.db-wal", "orvanta.db-shm",
                                            "scripts",     "tmp",        "outside"};
const std::set<std::string> kTypeDirs = {"doors", "menus", "events", "scheduled"};

void CheckWorld(const World& w) {
  for (const auto& e : fs::directory_iterator(w.work)) Check(kWorkEntries.count(e.path().filename().string()) == 1);
  Check(fs::is_empty(w.work + "/tmp"));
  std::ifstream keep(w.work + "/outside/keep.txt");
  std::string text;
  std::getline(keep, text);
  Check(text == "keep");
  Check(std::distance(fs::directory_iterator(w.work + "/outside"), fs::directory_iterator()) == 1);
  for (const auto& e : fs::directory_iterator(w.work + "/scripts"))
    Check(kTypeDirs.count(e.path().filename().string()) == 1 && e.is_directory() && !e.is_symlink());
  for (const auto& e : fs::recursive_directory_iterator(w.work + "/scripts")) {
    const fs::file_status s = e.symlink_status();
    Check(fs::is_regular_file(s) || fs::is_directory(s));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = *TheWorld();
  const std::string pkg = world.work + "/in.ovpkg";
  {
    std::ofstream out(pkg, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::string error;
  bool installed = false;
  try {
    installed = world.mgr->Install(pkg, error);
  } catch (const std::exception&) {
    // A database refusal: the files placed must be gone again (checked below).
  }
  CheckWorld(world);
  const ov::TJSON list = world.mgr->ListPackages();
  Check(list.size() == (installed ? 1u : 0u));
  for (const ov::TJSON& p : list) {
    Check(world.mgr->Uninstall(p["name"].get<std::string>(), error));
    Check(!fs::exists(fs::symlink_status(p["install_path"].get<std::string>())));
  }
  for (const std::string& d : kTypeDirs) Check(fs::is_empty(world.work + "/scripts/" + d));
  return 0;
}

#include <gtest/gtest.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "fake_file_system.h"
#include "operations.h"

namespace halvorine::file_transfer {
namespace {

using fake::FakeFileSystem;
using fake::Kind;

constexpr std::uint32_t me = 1000;
constexpr std::uint32_t other = 2000;

class Operations : public ::testing::Test {
 protected:
  FakeFileSystem fs;
  bool inputRead = false;

  Answer send(const std::string& request) {
    return answer(fs, [&]() -> std::optional<std::string> {
      inputRead = true;
      return request;
    });
  }
  std::string code(const std::string& request) {
    auto a = send(request);
    auto j = nlohmann::json::parse(a.line);
    return j.value("errorCode", j.value("outcome", std::string("?")));
  }
  static std::string req(const std::string& op, const std::string& src,
                         const std::string& dst = "") {
    nlohmann::json j = {{"operation", op}, {"sourcePath", src}};
    if (!dst.empty()) j["destinationPath"] = dst;
    return j.dump();
  }
};

TEST_F(Operations, RootIsRefusedBeforeTheInputIsRead) {
  fs.euid = 0;
  auto a = send(req("read_quarantine", "/f"));
  EXPECT_EQ(a.exitStatus, 1);
  EXPECT_NE(a.line.find("root_denied"), std::string::npos);
  EXPECT_FALSE(inputRead);
}

TEST_F(Operations, OversizedInputIsInvalid) {
  auto a = answer(fs, [] { return std::optional<std::string>(); });
  EXPECT_EQ(a.exitStatus, 1);
  EXPECT_NE(a.line.find("invalid_request"), std::string::npos);
}

// Which code each kind of file gets, as source of every operation and as replace destination.
TEST_F(Operations, FileChecksInOrder) {
  fs.add("/good");
  fs.add("/dst");
  fs.add("/dir", Kind::directory);
  fs.add("/link", Kind::symlink);
  fs.add("/foreign-link", Kind::symlink, other);
  fs.add("/fifo", Kind::fifo);
  fs.add("/foreign", Kind::regular, other);
  fs.add("/twice");
  fs.link("/twice", "/twice2");
  fs.add("/foreign-twice", Kind::regular, other);
  fs.link("/foreign-twice", "/foreign-twice2");
  struct Case {
    const char* path;
    const char* asSource;
    const char* asDestination;
  };
  const std::vector<Case> cases = {
      {"/missing", "source_invalid", "destination_invalid"},
      {"/dir", "source_invalid", "destination_invalid"},
      {"/link", "source_invalid", "destination_invalid"},
      {"/foreign-link", "source_invalid", "destination_invalid"},
      {"/fifo", "source_invalid", "destination_invalid"},
      {"/foreign", "ownership_denied", "ownership_denied"},
      {"/twice", "hard_link_denied", "hard_link_denied"},
      {"/foreign-twice", "ownership_denied", "ownership_denied"},
  };
  for (const auto& c : cases) {
    for (const char* op : {"apply_quarantine", "read_quarantine"}) {
      EXPECT_EQ(code(req(op, c.path)), c.asSource) << op << " " << c.path;
    }
    EXPECT_EQ(code(req("move_no_replace", c.path, "/new")), c.asSource) << c.path;
    EXPECT_EQ(code(req("replace_atomically", c.path, "/dst")), c.asSource) << c.path;
    EXPECT_EQ(code(req("replace_atomically", "/good", c.path)), c.asDestination) << c.path;
  }
  // A bad source is reported before the destination is looked at.
  EXPECT_EQ(code(req("replace_atomically", "/missing", "/missing")), "source_invalid");
  EXPECT_TRUE(fs.at("/good") && fs.at("/dst"));
}

TEST_F(Operations, RenameErrorsBecomeStableCodes) {
  fs.add("/src");
  fs.add("/dst");
  for (auto [e, expected] :
       std::vector<std::pair<int, const char*>>{{EEXIST, "destination_exists"},
                                                {ENOSPC, "disk_full"},
                                                {EACCES, "permission_denied"},
                                                {EXDEV, "atomic_operation_failed"},
                                                {EINVAL, "atomic_operation_failed"}}) {
    fs.renameError = e;
    EXPECT_EQ(code(req("move_no_replace", "/src", "/new")), expected);
    EXPECT_EQ(code(req("replace_atomically", "/src", "/dst")), expected);
  }
}

TEST_F(Operations, ReplaceRemovesTheOldFileOrReportsDeferredCleanup) {
  auto fresh = fs.add("/src", Kind::regular, me, "new");
  fs.add("/dst", Kind::regular, me, "old");
  EXPECT_EQ(code(req("replace_atomically", "/src", "/dst")), "replaced");
  EXPECT_EQ(fs.at("/dst"), fresh);
  EXPECT_FALSE(fs.at("/src"));

  fs.add("/src", Kind::regular, me, "newer");
  fs.removeFails = true;
  auto a = send(req("replace_atomically", "/src", "/dst"));
  EXPECT_EQ(a.exitStatus, 0);
  EXPECT_NE(a.line.find(R"("cleanupDeferred":true)"), std::string::npos);
  EXPECT_EQ(fs.at("/dst")->content, "newer");
  EXPECT_EQ(fs.at("/src")->content, "new");
}

TEST_F(Operations, ReplaceOfAFileWithItselfIsRefusedAndKeepsIt) {
  auto file = fs.add("/d/a", Kind::regular, me, "only copy");
  fs.spellings["/d//a"] = "/d/a";
  fs.spellings["/d/./a"] = "/d/a";
  for (const char* other : {"/d//a", "/d/./a"}) {
    EXPECT_EQ(code(req("replace_atomically", "/d/a", other)), "destination_invalid");
  }
  EXPECT_EQ(fs.at("/d/a"), file);
}

// Another process turns the source name into a symbolic link between the checks and the swap:
// the swap then places that link, and the checked file must not be removed with the old one.
TEST_F(Operations, ReplaceRemovesNothingWhenTheNamesChangedUnderIt) {
  auto checked = fs.add("/src", Kind::regular, me, "new");
  fs.add("/dst", Kind::regular, me, "old");
  fs.add("/alt", Kind::symlink);
  fs.beforeRename = [&] { std::swap(fs.names["/src"], fs.names["/alt"]); };
  auto a = send(req("replace_atomically", "/src", "/dst"));
  EXPECT_EQ(a.exitStatus, 0);
  EXPECT_NE(a.line.find(R"("cleanupDeferred":true)"), std::string::npos);
  EXPECT_EQ(fs.at("/alt"), checked);
  EXPECT_EQ(fs.at("/src")->content, "old");
}

// The swap went as checked, but the source name is then exchanged with another file of the user
// before the removal: that file must survive.
TEST_F(Operations, ReplaceRemovesOnlyTheOldDestinationFile) {
  fs.add("/src", Kind::regular, me, "new");
  fs.add("/dst", Kind::regular, me, "old");
  auto bystander = fs.add("/alt", Kind::regular, me, "bystander");
  fs.afterRename = [&] { std::swap(fs.names["/src"], fs.names["/alt"]); };
  auto a = send(req("replace_atomically", "/src", "/dst"));
  EXPECT_EQ(a.exitStatus, 0);
  EXPECT_NE(a.line.find(R"("cleanupDeferred":true)"), std::string::npos);
  EXPECT_EQ(fs.at("/src"), bystander);
  EXPECT_EQ(fs.at("/dst")->content, "new");
  EXPECT_EQ(fs.at("/alt")->content, "old");
}

TEST_F(Operations, QuarantineWritesTheValueThroughTheCheckedFile) {
  auto file = fs.add("/f");
  EXPECT_EQ(code(req("read_quarantine", "/f")), "inspected");
  EXPECT_NE(send(req("read_quarantine", "/f")).line.find(R"("quarantinePresent":false)"),
            std::string::npos);
  EXPECT_EQ(code(req("apply_quarantine", "/f")), "quarantined");
  EXPECT_EQ(file->attributes.at("com.apple.quarantine"),
            "0081;6756ecf0;Halvorine;00000001-0000-4000-8000-000000000000");
  EXPECT_NE(send(req("read_quarantine", "/f")).line.find(R"("quarantinePresent":true)"),
            std::string::npos);
  file->attributes["com.apple.quarantine"] = "";
  EXPECT_NE(send(req("read_quarantine", "/f")).line.find(R"("quarantinePresent":true)"),
            std::string::npos);
}

TEST_F(Operations, QuarantineErrorsBecomeStableCodes) {
  auto file = fs.add("/f");
  fs.add("/foreign", Kind::regular, other);
  for (auto [e, expected] :
       std::vector<std::pair<int, const char*>>{{ENOSPC, "disk_full"},
                                                {EDQUOT, "disk_full"},
                                                {EACCES, "permission_denied"},
                                                {EPERM, "permission_denied"},
                                                {EROFS, "quarantine_failed"},
                                                {ENOTSUP, "quarantine_failed"}}) {
    fs.setAttributeError = e;
    fs.hasAttributeError = e;
    EXPECT_EQ(code(req("apply_quarantine", "/f")), expected) << e;
    EXPECT_EQ(code(req("read_quarantine", "/f")), expected) << e;
  }
  EXPECT_TRUE(file->attributes.empty());
  fs.setAttributeError = fs.hasAttributeError = 0;
  // A file that cannot be opened: the checks on its name decide, then the attribute's code.
  fs.openError = EACCES;
  EXPECT_EQ(code(req("apply_quarantine", "/f")), "permission_denied");
  EXPECT_EQ(code(req("apply_quarantine", "/foreign")), "ownership_denied");
  fs.openError = EIO;
  EXPECT_EQ(code(req("read_quarantine", "/f")), "quarantine_failed");
}

TEST_F(Operations, DispatchOrder) {
  fs.add("/f");
  struct Case {
    const char* name;
    std::string request;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"letter case", R"({"operation":"Read_Quarantine","sourcePath":"/f"})", "invalid_request"},
      {"unknown word", R"({"operation":"delete","sourcePath":"/f"})", "invalid_request"},
      {"source null", R"({"operation":"apply_quarantine","sourcePath":null})", "path_invalid"},
      {"source number", R"({"operation":"apply_quarantine","sourcePath":7})", "invalid_request"},
      {"no destination, missing source",
       R"({"operation":"move_no_replace","sourcePath":"/missing"})", "path_invalid"},
      {"relative source before anything", R"({"operation":"replace_atomically","sourcePath":"f"})",
       "path_invalid"},
      {"quarantine ignores destination",
       R"({"operation":"read_quarantine","sourcePath":"/f","destinationPath":"rel"})", "inspected"},
  };
  for (const auto& c : cases) EXPECT_EQ(code(c.request), c.expected) << c.name;
}

}  // namespace
}  // namespace halvorine::file_transfer

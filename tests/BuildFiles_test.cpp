// The Android build files must build the same daemon as CMake, plus the process entry, and
// nothing of the host stand-ins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;
using Modules = std::map<std::string, Names>;  // sources by module name

// The file with everything from the comment marker to the end of each line removed.
std::string readCode(const std::string& relative, const std::string& commentMarker) {
    std::ifstream in(std::string(TARND_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(in.good()) << "cannot read " << relative;
    std::string code;
    for (std::string line; std::getline(in, line);) {
        code += line.substr(0, line.find(commentMarker)) + "\n";
    }
    return code;
}

// First capture group of every match.
Names captures(const std::string& text, const std::string& pattern) {
    Names found;
    std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
        found.insert((*it)[1]);
    }
    return found;
}

Names cmakeDaemonSources() {
    std::smatch list;
    std::string code = readCode("CMakeLists.txt", "#");
    EXPECT_TRUE(std::regex_search(code, list, std::regex(R"(set\(TARND_DAEMON_SOURCES([^)]*)\))")));
    return captures(list[1], R"((\S+))");
}

// Android.mk: a module runs from "include $(CLEAR_VARS)" to the next one.
Modules makeModules(std::string code) {
    code = std::regex_replace(code, std::regex(R"(\\\n)"), " ");
    Modules modules;
    for (size_t at = code.find("include $(CLEAR_VARS)"); at != std::string::npos;) {
        size_t next = code.find("include $(CLEAR_VARS)", at + 1);
        std::string module = code.substr(at, next - at);
        Names srcs;
        for (const std::string& value : captures(module, R"(LOCAL_SRC_FILES\s*[:+]=([^\n]*))")) {
            Names words = captures(value, R"((\S+))");
            srcs.insert(words.begin(), words.end());
        }
        for (const std::string& name : captures(module, R"(LOCAL_MODULE\s*:=\s*(\S+))")) {
            modules[name] = srcs;
        }
        at = next;
    }
    return modules;
}

// Android.bp: top-level blocks by brace depth; a module's sources include its defaults'.
Modules blueprintModules(std::string code) {
    std::vector<std::string> blocks;
    int depth = 0;
    for (size_t i = 0, start = 0; i < code.size(); ++i) {
        if (code[i] == '{' && depth++ == 0) start = i;
        if (code[i] == '}' && --depth == 0) blocks.push_back(code.substr(start, i - start));
    }
    const std::string quoted = "\"([^\"]*)\"";
    Modules srcs, defaults;
    for (const std::string& block : blocks) {
        for (const std::string& name : captures(block, "\\bname:\\s*" + quoted)) {
            for (const std::string& list : captures(block, R"(\bsrcs:\s*\[([^\]]*)\])")) {
                Names words = captures(list, quoted);
                srcs[name].insert(words.begin(), words.end());
            }
            for (const std::string& list : captures(block, R"(\bdefaults:\s*\[([^\]]*)\])")) {
                defaults[name] = captures(list, quoted);
            }
        }
    }
    Modules modules = srcs;
    for (const auto& [name, used] : defaults) {
        for (const std::string& d : used) modules[name].insert(srcs[d].begin(), srcs[d].end());
    }
    return modules;
}

Names cppFilesUnder(const std::vector<std::string>& directories) {
    namespace fs = std::filesystem;
    Names files;
    for (const std::string& directory : directories) {
        for (const auto& entry :
             fs::recursive_directory_iterator(fs::path(TARND_SOURCE_DIR) / directory)) {
            if (entry.is_regular_file() && entry.path().extension() == ".cpp") {
                files.insert(entry.path().lexically_relative(TARND_SOURCE_DIR).generic_string());
            }
        }
    }
    return files;
}

TEST(BuildFilesTest, AndroidFilesListTheDaemonAndToolSourcesAndNothingOfPlatform) {
    Names daemon = cmakeDaemonSources();
    daemon.insert("service/main.cpp");
    struct {
        const char* path;
        const char* commentMarker;
        Modules (*modules)(std::string);
    } const files[] = {{"Android.mk", "#", makeModules}, {"Android.bp", "//", blueprintModules}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.path);
        std::string code = readCode(file.path, file.commentMarker);
        Modules modules = file.modules(code);
        EXPECT_EQ(modules["tarnd"], daemon);
        EXPECT_EQ(modules["tarnd-trigger"],
                  (Names{"tools/tarnd-trigger.cpp", "tools/UeventMessage.cpp"}));
        EXPECT_EQ(code.find("platform"), std::string::npos) << code;
    }
}

TEST(BuildFilesTest, CMakeListsEveryDaemonSourceButTheEntry) {
    Names onDisk =
            cppFilesUnder({"base", "service", "config", "events", "detectors", "housekeeping"});
    ASSERT_EQ(onDisk.erase("service/main.cpp"), 1u);
    EXPECT_EQ(cmakeDaemonSources(), onDisk);
}

}  // namespace

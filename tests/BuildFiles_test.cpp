// The Android build files must build the same daemon as CMake: every source of
// the daemon target plus the process entry, and nothing of the host stand-ins.
#include <ctype.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;

std::string sourcePath(const std::string& relative) {
    return std::string(TARND_SOURCE_DIR) + "/" + relative;
}

std::string readText(const std::string& relative) {
    std::ifstream in(sourcePath(relative));
    EXPECT_TRUE(in.good()) << "cannot read " << sourcePath(relative);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What a build file says about one module.
struct Module {
    Names srcs;
    Names sharedLibs;
    Names cflags;
};

// The file with its comments removed, for looking at what the build system
// reads.
struct BuildFile {
    std::map<std::string, Module> modules;
    std::string text;
};

// The daemon's sources of CMakeLists.txt: the words of set(TARND_DAEMON_SOURCES
// ...).
Names cmakeDaemonSources() {
    std::string text = readText("CMakeLists.txt");
    const std::string opening = "set(TARND_DAEMON_SOURCES";
    size_t start = text.find(opening);
    if (start == std::string::npos) {
        ADD_FAILURE() << "no " << opening << " in CMakeLists.txt";
        return {};
    }
    start += opening.size();
    size_t end = text.find(')', start);
    Names sources;
    std::istringstream lines(text.substr(start, end - start));
    std::string line;
    while (std::getline(lines, line)) {
        for (const std::string& word : splitWords(line.substr(0, line.find('#')))) {
            sources.insert(word);
        }
    }
    return sources;
}

// Android.mk: modules between "include $(CLEAR_VARS)" and "include
// $(BUILD_...)"; variables of the file are expanded when assigned, as ":="
// does.
BuildFile parseAndroidMk(const std::string& content) {
    BuildFile file;
    std::vector<std::string> logical;
    std::istringstream in(content);
    std::string line;
    std::string pending;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        bool continued = !line.empty() && line.back() == '\\';
        if (continued) line.pop_back();
        pending += line + " ";
        if (!continued) {
            logical.push_back(pending);
            pending.clear();
        }
    }
    logical.push_back(pending);

    std::map<std::string, std::string> variables;
    auto expand = [&variables](const std::string& value) {
        std::string out;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value.compare(i, 2, "$(") == 0) {
                size_t close = value.find(')', i);
                std::string name = value.substr(i + 2, close - i - 2);
                auto known = variables.find(name);
                if (known != variables.end()) {
                    out += known->second;
                } else {
                    out += value.substr(i, close - i + 1);
                }
                i = close;
            } else {
                out += value[i];
            }
        }
        return out;
    };

    std::map<std::string, std::string> local;
    for (const std::string& statement : logical) {
        file.text += statement + "\n";
        std::vector<std::string> words = splitWords(statement);
        if (words.empty()) continue;
        if (words[0] == "include" && words.size() == 2) {
            if (words[1] == "$(CLEAR_VARS)") {
                local.clear();
            } else if (words[1].rfind("$(BUILD_", 0) == 0) {
                Module& module = file.modules[local["LOCAL_MODULE"]];
                for (const std::string& word : splitWords(local["LOCAL_SRC_FILES"])) {
                    module.srcs.insert(word);
                }
                for (const std::string& word : splitWords(local["LOCAL_SHARED_LIBRARIES"])) {
                    module.sharedLibs.insert(word);
                }
                for (const std::string& word : splitWords(local["LOCAL_CFLAGS"])) {
                    module.cflags.insert(word);
                }
            }
            continue;
        }
        for (const char* op : {":=", "+="}) {
            size_t at = statement.find(op);
            if (at == std::string::npos) continue;
            std::vector<std::string> name = splitWords(statement.substr(0, at));
            if (name.size() != 1) break;
            std::string value = trim(expand(statement.substr(at + 2)));
            std::string& target =
                    name[0].rfind("LOCAL_", 0) == 0 ? local[name[0]] : variables[name[0]];
            target = std::string(op) == "+=" ? target + " " + value : value;
            break;
        }
    }
    return file;
}

// A small reader of Blueprint: module blocks of properties whose values are
// strings, booleans, lists and nested maps.
class BlueprintReader {
  public:
    explicit BlueprintReader(const std::string& content) : mText(stripComments(content)) {}

    const std::string& text() const { return mText; }

    // Each top-level module: its type, and its string and string-list properties
    // by name (nested maps are skipped).
    struct Block {
        std::string type;
        std::map<std::string, std::vector<std::string>> properties;
    };

    std::vector<Block> blocks() {
        std::vector<Block> result;
        mPos = 0;
        while (skipSpace(), mPos < mText.size()) {
            Block block;
            block.type = identifier();
            skipSpace();
            if (block.type.empty() || !take('{')) {
                ADD_FAILURE() << "unexpected text in Android.bp at offset " << mPos;
                return result;
            }
            readMap(&block.properties);
            result.push_back(block);
        }
        return result;
    }

  private:
    static std::string stripComments(const std::string& content) {
        std::string out;
        bool inString = false;
        for (size_t i = 0; i < content.size(); ++i) {
            char c = content[i];
            if (inString) {
                if (c == '\\' && i + 1 < content.size()) {
                    out += c;
                    c = content[++i];
                } else if (c == '"') {
                    inString = false;
                }
            } else if (c == '"') {
                inString = true;
            } else if (content.compare(i, 2, "//") == 0) {
                i = content.find('\n', i);
                if (i == std::string::npos) break;
                c = '\n';
            } else if (content.compare(i, 2, "/*") == 0) {
                i = content.find("*/", i);
                if (i == std::string::npos) break;
                ++i;
                continue;
            }
            out += c;
        }
        return out;
    }

    void skipSpace() {
        while (mPos < mText.size() && isspace(static_cast<unsigned char>(mText[mPos]))) ++mPos;
    }

    bool take(char c) {
        skipSpace();
        if (mPos < mText.size() && mText[mPos] == c) {
            ++mPos;
            return true;
        }
        return false;
    }

    std::string identifier() {
        skipSpace();
        size_t start = mPos;
        while (mPos < mText.size() &&
               (isalnum(static_cast<unsigned char>(mText[mPos])) || mText[mPos] == '_')) {
            ++mPos;
        }
        return mText.substr(start, mPos - start);
    }

    std::string quoted() {
        std::string value;
        ++mPos;  // opening quote
        while (mPos < mText.size() && mText[mPos] != '"') {
            if (mText[mPos] == '\\' && mPos + 1 < mText.size()) ++mPos;
            value += mText[mPos++];
        }
        ++mPos;  // closing quote
        return value;
    }

    // Reads one value; strings (alone or in a list) are appended to out.
    void readValue(std::vector<std::string>* out) {
        skipSpace();
        if (mPos >= mText.size()) return;
        char c = mText[mPos];
        if (c == '"') {
            out->push_back(quoted());
        } else if (c == '[') {
            ++mPos;
            while (!take(']')) {
                if (mPos >= mText.size()) return;
                readValue(out);
                take(',');
            }
        } else if (c == '{') {
            ++mPos;
            std::map<std::string, std::vector<std::string>> ignored;
            readMap(&ignored);
        } else {
            identifier();
        }
    }

    // Reads "name: value," pairs up to the closing brace.
    void readMap(std::map<std::string, std::vector<std::string>>* properties) {
        while (!take('}')) {
            if (mPos >= mText.size()) return;
            std::string name = identifier();
            if (name.empty() || !take(':')) {
                ADD_FAILURE() << "unexpected text in Android.bp at offset " << mPos;
                mPos = mText.size();
                return;
            }
            readValue(&(*properties)[name]);
            take(',');
        }
    }

    std::string mText;
    size_t mPos = 0;
};

// Android.bp: cc_binary modules, with the properties of their defaults merged
// in.
BuildFile parseAndroidBp(const std::string& content) {
    BlueprintReader reader(content);
    BuildFile file;
    file.text = reader.text();
    std::vector<BlueprintReader::Block> blocks = reader.blocks();
    std::map<std::string, BlueprintReader::Block> defaults;
    for (const auto& block : blocks) {
        if (block.type == "cc_defaults") defaults[block.properties.at("name").at(0)] = block;
    }
    for (const auto& block : blocks) {
        if (block.type != "cc_binary") continue;
        std::vector<const BlueprintReader::Block*> parts = {&block};
        auto used = block.properties.find("defaults");
        if (used != block.properties.end()) {
            for (const std::string& name : used->second) {
                EXPECT_EQ(defaults.count(name), 1u) << "unknown defaults " << name;
                if (defaults.count(name) != 0) parts.push_back(&defaults[name]);
            }
        }
        Module& module = file.modules[block.properties.at("name").at(0)];
        for (const BlueprintReader::Block* part : parts) {
            auto add = [part](const char* property, Names* names) {
                auto found = part->properties.find(property);
                if (found != part->properties.end()) {
                    names->insert(found->second.begin(), found->second.end());
                }
            };
            add("srcs", &module.srcs);
            add("shared_libs", &module.sharedLibs);
            add("cflags", &module.cflags);
        }
    }
    return file;
}

// The .cpp files under the given directories of the project, as relative paths.
Names cppFilesUnder(const std::vector<std::string>& directories) {
    namespace fs = std::filesystem;
    Names files;
    for (const std::string& directory : directories) {
        fs::path root = fs::path(TARND_SOURCE_DIR) / directory;
        if (!fs::exists(root)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file() && entry.path().extension() == ".cpp") {
                files.insert(entry.path().lexically_relative(TARND_SOURCE_DIR).generic_string());
            }
        }
    }
    return files;
}

Names without(Names names, const std::string& removed) {
    names.erase(removed);
    return names;
}

Names with(Names names, const std::string& added) {
    names.insert(added);
    return names;
}

const char* const kEntry = "service/main.cpp";

struct BuildFileCase {
    const char* path;
    BuildFile (*parse)(const std::string&);
};

class AndroidBuildFileTest : public ::testing::TestWithParam<BuildFileCase> {
  protected:
    BuildFile load() { return GetParam().parse(readText(GetParam().path)); }
};

TEST_P(AndroidBuildFileTest, TarndModuleNamesExactlyTheDaemonSourcesAndTheEntry) {
    BuildFile file = load();
    ASSERT_EQ(file.modules.count("tarnd"), 1u) << GetParam().path << " has no module tarnd";
    const Module& tarnd = file.modules.at("tarnd");
    EXPECT_EQ(tarnd.srcs.count(kEntry), 1u);
    EXPECT_EQ(tarnd.srcs, with(cmakeDaemonSources(), kEntry));
}

TEST_P(AndroidBuildFileTest, TriggerModuleNamesEveryToolSource) {
    BuildFile file = load();
    ASSERT_EQ(file.modules.count("tarnd-trigger"), 1u);
    EXPECT_EQ(file.modules.at("tarnd-trigger").srcs, cppFilesUnder({"tools"}));
    EXPECT_TRUE(file.modules.at("tarnd-trigger").sharedLibs.empty());
}

TEST_P(AndroidBuildFileTest, TarndLinksThePlatformLibrariesAndLibzel) {
    BuildFile file = load();
    ASSERT_EQ(file.modules.count("tarnd"), 1u);
    EXPECT_EQ(file.modules.at("tarnd").sharedLibs,
              (Names{"libutils", "libbinder", "liblog", "libzel"}));
}

TEST_P(AndroidBuildFileTest, EveryModuleTreatsWarningsAsErrors) {
    BuildFile file = load();
    ASSERT_FALSE(file.modules.empty());
    for (const auto& [name, module] : file.modules) {
        for (const char* flag : {"-Wall", "-Wextra", "-Werror"}) {
            EXPECT_EQ(module.cflags.count(flag), 1u) << name << " lacks " << flag;
        }
    }
}

TEST_P(AndroidBuildFileTest, NothingReferencesTheHostStandIns) {
    BuildFile file = load();
    EXPECT_EQ(file.text.find("platform"), std::string::npos) << file.text;
    for (const auto& [name, module] : file.modules) {
        for (const std::string& source : module.srcs) {
            EXPECT_NE(source.rfind("platform/", 0), 0u) << name << ": " << source;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothTrees, AndroidBuildFileTest,
                         ::testing::Values(BuildFileCase{"Android.mk", parseAndroidMk},
                                           BuildFileCase{"Android.bp", parseAndroidBp}),
                         [](const ::testing::TestParamInfo<BuildFileCase>& info) {
                             return std::string(info.param.path) == "Android.mk" ? "Make" : "Soong";
                         });

TEST(CMakeDaemonSources, HoldEveryDaemonSourceButTheEntry) {
    Names onDisk = cppFilesUnder({"service", "config", "events", "detectors", "housekeeping"});
    EXPECT_EQ(onDisk.count(kEntry), 1u);
    EXPECT_EQ(cmakeDaemonSources(), without(onDisk, kEntry));
}

TEST(CMakeDaemonSources, NameNoHostStandIn) {
    for (const std::string& source : cmakeDaemonSources()) {
        EXPECT_NE(source.rfind("platform/", 0), 0u) << source;
    }
}

// The readers themselves, on small texts whose module lists are known.
TEST(BuildFileReaders, MakeContinuationCommentsAndVariables) {
    BuildFile file = parseAndroidMk(
            "LOCAL_PATH := $(call my-dir)\n"
            "flags := -Wall -Werror\n"
            "include $(CLEAR_VARS)\n"
            "# LOCAL_MODULE := commented\n"
            "LOCAL_MODULE := one  # the first\n"
            "LOCAL_SRC_FILES := \\\n"
            "    a.cpp \\\n"
            "    c.cpp  # b.cpp is not built\n"
            "LOCAL_SRC_FILES += d.cpp\n"
            "LOCAL_CFLAGS := $(flags)\n"
            "include $(BUILD_EXECUTABLE)\n"
            "include $(CLEAR_VARS)\n"
            "LOCAL_MODULE := two\n"
            "LOCAL_SRC_FILES := e.cpp\n"
            "include $(BUILD_EXECUTABLE)\n");
    ASSERT_EQ(file.modules.size(), 2u);
    EXPECT_EQ(file.modules["one"].srcs, (Names{"a.cpp", "c.cpp", "d.cpp"}));
    EXPECT_EQ(file.modules["one"].cflags, (Names{"-Wall", "-Werror"}));
    EXPECT_EQ(file.modules["two"].srcs, (Names{"e.cpp"}));
    EXPECT_TRUE(file.modules["two"].cflags.empty());
}

TEST(BuildFileReaders, BlueprintDefaultsNestedMapsAndComments) {
    BuildFile file = parseAndroidBp(
            "// header\n"
            "cc_defaults { name: \"d\", cflags: [\"-Wall\"], /* srcs: "
            "[\"x.cpp\"] */ }\n"
            "cc_binary {\n"
            "    name: \"one\",\n"
            "    defaults: [\"d\"],\n"
            "    srcs: [\"a.cpp\", // the entry\n"
            "           \"b.cpp\"],\n"
            "    arch: { x86: { cflags: [\"-DX86\"] } },\n"
            "    vendor: true,\n"
            "}\n"
            "cc_library { name: \"lib\", srcs: [\"l.cpp\"] }\n");
    ASSERT_EQ(file.modules.size(), 1u);
    EXPECT_EQ(file.modules["one"].srcs, (Names{"a.cpp", "b.cpp"}));
    EXPECT_EQ(file.modules["one"].cflags, (Names{"-Wall"}));
}

}  // namespace

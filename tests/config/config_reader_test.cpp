#include "config/config_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>

#include "support/files.hpp"

using namespace newstars;

// Replaces every "@" in the pattern by the file name.
static std::string withFileName(const std::string& pattern, const std::string& fileName)
{
    std::string out;
    for (char c : pattern) {
        if (c == '@') {
            out += fileName;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

TEST(FindConfigValue, ReadsEntriesOfEveryForm)
{
    const std::string name255(255, 'n');
    const std::string name256(256, 'n');
    const std::string value255(255, '7');
    const std::string value256(256, '7');
    struct Case {
        std::string text;
        std::string name;
        int expected;
        std::string value;
        std::string message; // in the diagnostics, "@" standing for the file name
    };
    const Case cases[] = {
        {"gain = 2.5\n", "gain", 0, "2.5", ""},
        {"gain 2.5\n", "gain", 0, "2.5", ""},
        {"gain=2.5\n", "gain", 0, "2.5", ""},
        {"gain==2.5\n", "gain", 0, "2.5", ""},
        {"gain\n2.5\n", "gain", 0, "2.5", ""},
        {"gain\r\n\t= \n 2.5\r\n", "gain", 0, "2.5", ""},
        {"gain = 2.5", "gain", -1, "", ""}, // no terminator after the value
        {"gain = '2.5'\n", "gain", 0, "2.5", ""},
        {"gain = ''\n", "gain", 0, "", ""},
        {"gain = '2.5 is the default'\n", "gain", 0, "2.5 is the default", ""},
        {"gain = '2.5'", "gain", 0, "2.5", ""}, // the closing quote ends it
        {"gain = '2.5", "gain", -1, "", ""},
        {"a = 1 ! note\n", "a", 0, "1", ""},
        {"a = 1 ! note\n", "note", -1, "", ""},
        {"a=!1\n", "a", 0, "!1", ""},
        {"a = x=/'!\n", "a", 0, "x=/'!", ""},
        {"a = 1 2\nb = 3\n", "a", 0, "1", ""},
        {"a = 1 2\nb = 3\n", "2", 0, "b", ""},
        {"a = 1 2\nb = 3\n", "=", 0, "3", ""},
        {"a = 1 2\nb = 3\n", "b", -1, "", ""},
        {"! comment\ngain = 4\n", "gain", 0, "4", ""},
        {"!gain = 1\ngain = 4\n", "gain", 0, "4", ""},
        {"Gain = 4\n", "gain", -1, "", ""},
        {"gain = 1\ngain = 2\n", "gain", 0, "1", ""},
        {"gain!x = 1\n", "gain!x", 0, "1", ""},
        {"\fgain\v = 1\n", "\fgain\v", 0, "1", ""},
        {std::string("ab\0c = 1\n", 9), "ab", 0, "1", ""}, // a name read as C text ends at NUL
        // quoted values: escapes, continuation, line ends, what follows the quote
        {"q = 'it\\'s'\n", "q", 0, "it's", ""},
        {"q = 'a\\\\b'\n", "q", 0, "a\\b", ""},
        {"q = 'a\\nb'\n", "q", 0, "anb", ""},
        {"q = 'ab\\\ncd'\n", "q", 0, "abcd", ""},
        {"q = 'ab\ncd'\n", "q", 0, "ab\ncd", ""},
        {"q = 'x'y = 5\n", "y", 0, "5", ""},
        {"q = 'abc\\", "q", -1, "", "EOF after BACKSLASH\n"},
        // "/" entries stand alone and carry no value
        {"/ gain = 3\n", "gain", 0, "3", ""},
        {"/gain = 3\n", "gain", 0, "3", ""},
        {"gain/x = 3\n", "gain/x", 0, "3", ""},
        {"a = 7\n/\n", "/", 0, "", ""},
        {"a = 1 / = 2\n", "=", 0, "2", ""},
        // length limits: a 256-byte buffer for each
        {name255 + " = 1\n", name255, 0, "1", ""},
        {name256 + " = 1\ngain = 2\n", "gain", -1, "",
         "name \"" + name255 + "\" too long in \"@\"\n"},
        {"v = " + value255 + "\n", "v", 0, value255, ""},
        {"v = " + value256 + "\ngain = 2\n", "gain", -1, "", "value too long in '@'\n"},
        {"v = '" + value255 + "'\n", "v", 0, value255, ""},
        {"v = '" + value256 + "'\n", "v", -1, "", "value too long in '@'\n"},
        {"v = '" + value255 + "\\x'\n", "v", -1, "", "value too long in '@'\n"},
        {"", "gain", -1, "", ""},
    };
    for (const Case& c : cases) {
        ScratchFile file(c.text);
        ConfigReader reader;
        std::string message;
        ASSERT_EQ(setConfigFile(&reader, file.path.c_str(), &message), 0);
        std::string value = "unset";
        int result = findConfigValue(&reader, c.name.c_str(), &value, 256, &message);
        const std::string& errors = reader.diagnostics;
        EXPECT_EQ(result, c.expected) << "text: " << c.text << " name: " << c.name;
        EXPECT_EQ(value, c.expected == 0 ? c.value : "unset")
            << "text: " << c.text << " name: " << c.name;
        EXPECT_EQ(errors, withFileName(c.message, file.path)) << "text: " << c.text;
    }
}

TEST(GetConfigReal, ConvertsTheValueText)
{
    struct Case {
        const char* text;
        const char* name;
        double expected;
    };
    const Case cases[] = {
        {"gain = 2.5\n", "gain", 2.5},   {"gain = '2.5 is the default'\n", "gain", 2.5},
        {"gain = ''\n", "gain", 0.0},    {"a=!1\n", "a", 0.0},
        {"x = -1.25e3\n", "x", -1250.0}, {"x = '  42'\n", "x", 42.0},
        {"a = 7\n/\n", "/", 0.0},
    };
    for (const Case& c : cases) {
        ScratchFile file(c.text);
        ConfigReader reader;
        std::string message;
        setConfigFile(&reader, file.path.c_str(), &message);
        double value = -99;
        EXPECT_EQ(getConfigReal(&reader, c.name, &value, &message), CONFIG_OK) << c.text;
        EXPECT_EQ(value, c.expected) << c.text;
    }
}

TEST(GetConfigReal, EchoesValuesWhenVerbose)
{
    // levels 1 and 2 echo the values; only a level above 2 traces characters
    struct Case {
        int level;
        const char* expected;
    };
    const Case cases[] = {
        {0, ""},
        {1, "gain = 2.5\nbias = 300\n"},
        {2, "gain = 2.5\nbias = 300\n"},
    };
    ScratchFile file("gain = 2.5\nbias = 300\n");
    for (const Case& c : cases) {
        ConfigReader reader;
        reader.verbosity = c.level;
        std::string message;
        setConfigFile(&reader, file.path.c_str(), &message);
        double gain = 0;
        double bias = 0;
        getConfigReal(&reader, "gain", &gain, &message);
        getConfigReal(&reader, "bias", &bias, &message);
        EXPECT_EQ(reader.diagnostics, c.expected) << "level " << c.level;
    }
}

TEST(ReadConfigEntry, TracesEveryCharacterAtVerbosity3)
{
    struct Case {
        std::string text;
        std::string name;
        std::string value;
        std::string trace;
    };
    const Case cases[] = {
        // the character pushed back after the name is traced twice
        {"a=1\n", "a", "1",
         "state=1 c='a'\nstate=2 c='='\nstate=3 c='1'\nstate=4 c='1'\nstate=4 c='\n'\n"},
        // the character after a backslash is not traced
        {" q 'a\\'b'", "q", "a'b",
         "state=1 c=' '\nstate=1 c='q'\nstate=2 c=' '\nstate=3 c='''\nstate=5 c='a'\n"
         "state=5 c='\\'\nstate=5 c='b'\nstate=5 c='''\n"},
        {"!x\n/", "/", "kept", "state=1 c='!'\nstate=6 c='x'\nstate=6 c='\n'\nstate=1 c='/'\n"},
    };
    for (const Case& c : cases) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fputs(c.text.c_str(), file);
        std::rewind(file);
        std::string name;
        std::string value = "kept";
        ConfigReader reader;
        reader.verbosity = 3;
        int result = readConfigEntry(&reader, file, "test.cfg", &name, 256, &value, 256);
        const std::string& trace = reader.diagnostics;
        std::fclose(file);
        EXPECT_EQ(result, 0) << c.text;
        EXPECT_EQ(name, c.name) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(trace, c.trace) << c.text;
    }
}

TEST(GetConfigReal, ReportsMissingSettingsAndFiles)
{
    ScratchFile file("Gain = 4\n");
    const std::string missing = testing::TempDir() + "no_such_config_file";
    struct Case {
        const char* fileName; // null: no file named
        int expected;
        std::string message;
    };
    const Case cases[] = {
        {file.path.c_str(), CONFIG_NOT_FOUND, "Can not find `gain' in config file."},
        {missing.c_str(), CONFIG_NO_FILE, missing + ": No such file or directory"},
        {nullptr, CONFIG_NO_FILE, "Can not look up `gain': no config file has been named."},
        // an empty name is a name: the file fails to open, reported as the system reports it
        {"", CONFIG_NO_FILE, "No such file or directory"},
        {"/dev/zero", CONFIG_NO_FILE, "/dev/zero: not a regular file"},
        // a regular file whose reading fails at once
        {"/proc/self/mem", CONFIG_READ_ERROR, "/proc/self/mem: Input/output error"},
    };
    for (const Case& c : cases) {
        ConfigReader reader;
        std::string message;
        setConfigFile(&reader, file.path.c_str(), &message);
        setConfigFile(&reader, c.fileName, &message);
        double value = -99;
        EXPECT_EQ(getConfigReal(&reader, "gain", &value, &message), c.expected) << c.message;
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(value, -99) << c.message;
        EXPECT_EQ(reader.diagnostics, "") << c.message;
    }
}

TEST(ConfigStatusText, NamesEveryStatus)
{
    const ConfigStatus statuses[] = {CONFIG_OK, CONFIG_NOT_FOUND, CONFIG_NO_FILE, CONFIG_READ_ERROR,
                                     CONFIG_NO_MEMORY};
    std::set<std::string> texts;
    for (const ConfigStatus status : statuses)
        texts.insert(configStatusText(status));
    EXPECT_EQ(texts.size(), std::size(statuses));
    EXPECT_EQ(texts.count("unknown configuration status"), 0u);
    EXPECT_STREQ(configStatusText(static_cast<ConfigStatus>(7)), "unknown configuration status");
}

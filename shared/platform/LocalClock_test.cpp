#include "platform/LocalClock.h"
#include "platform/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace quellon {
namespace {

// Sets the time locale for one test and puts the environment back afterwards.
class LocaleEnvironment {
public:
    LocaleEnvironment(const std::string& locale, const std::optional<std::string>& path = std::nullopt)
    {
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG", "LOCPATH"}) {
            if (const char* value = std::getenv(name))
                saved_.emplace_back(name, value);
            ::unsetenv(name);
        }
        ::setenv("LC_TIME", locale.c_str(), 1);
        if (path)
            ::setenv("LOCPATH", path->c_str(), 1);
    }
    ~LocaleEnvironment()
    {
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG", "LOCPATH"})
            ::unsetenv(name);
        for (const auto& [name, value] : saved_)
            ::setenv(name.c_str(), value.c_str(), 1);
    }

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

// Builds the time part of a locale from the system's sources into a private directory, for
// machines that have the sources (package locales) but not the compiled locale; only LC_TIME
// is compiled, which takes a moment instead of half a minute. Nothing when it cannot.
std::optional<std::string> compiledTimeLocale(const TemporaryDirectory& directory, const std::string& name)
{
    const std::filesystem::path source = directory.path() / (name + ".source");
    std::ofstream(source) << "LC_TIME\ncopy \"" << name << "\"\nEND LC_TIME\n";
    const std::filesystem::path compiled = directory.path() / (name + ".UTF-8");
    // -c: the other categories are missing on purpose, which localedef only warns about.
    const std::string command = "localedef -c -i " + source.string() + " -f UTF-8 " + compiled.string() + " >/dev/null 2>&1";
    [[maybe_unused]] const int status = std::system(command.c_str());
    std::error_code error;
    if (!std::filesystem::is_regular_file(compiled / "LC_TIME", error))
        return std::nullopt;
    return directory.path().string();
}

TEST(LocalClock, TheCLocaleUsesATwentyFourHourClock)
{
    for (const char* locale : {"C", "POSIX", "xx_NOWHERE.UTF-8"}) {
        LocaleEnvironment environment(locale);
        EXPECT_FALSE(LocalClock::usesTwelveHourClock()) << locale;
        EXPECT_EQ(LocalClock::timeOfDay(0), "00:00") << locale;
        EXPECT_EQ(LocalClock::timeOfDay(13 * 60 + 5), "13:05") << locale;
        EXPECT_EQ(LocalClock::timeOfDay(-5), "00:00") << "a stored minute before the day shows as its start";
        EXPECT_EQ(LocalClock::timeOfDay(2000), "23:59");
        EXPECT_EQ(LocalClock::weekdayAndTime(2, 23 * 60), "Mon 23:00");
        EXPECT_EQ(LocalClock::weekdayAndTime(7, 0), "Sat 00:00");
        EXPECT_EQ(LocalClock::weekdayAndTime(9, 60), "? 01:00");
    }
}

TEST(LocalClock, FollowsTheLocalesClock)
{
    TemporaryDirectory directory;
    const auto american = compiledTimeLocale(directory, "en_US");
    const auto german = compiledTimeLocale(directory, "de_DE");
    if (!american || !german)
        GTEST_SKIP() << "localedef cannot build en_US and de_DE here (install the locales package)";
    {
        LocaleEnvironment environment("en_US.UTF-8", american);
        EXPECT_TRUE(LocalClock::usesTwelveHourClock());
        EXPECT_EQ(LocalClock::timeOfDay(0), "12:00 AM");
        EXPECT_EQ(LocalClock::timeOfDay(12 * 60), "12:00 PM");
        EXPECT_EQ(LocalClock::timeOfDay(17 * 60 + 30), "5:30 PM");
        EXPECT_EQ(LocalClock::weekdayAndTime(2, 23 * 60), "Mon 11:00 PM");
    }
    {
        LocaleEnvironment environment("de_DE.UTF-8", german);
        EXPECT_FALSE(LocalClock::usesTwelveHourClock());
        EXPECT_EQ(LocalClock::timeOfDay(17 * 60 + 30), "17:30");
        EXPECT_EQ(LocalClock::weekdayAndTime(2, 23 * 60), "Mo 23:00");
    }
}

} // namespace
} // namespace quellon

// The language both front-ends speak, from the environment to the catalogue.

#include "desktop/Translations.h"

#include <QCoreApplication>
#include <QMap>
#include <gtest/gtest.h>

namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "translations-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

TEST(Translations, PreferredLanguagesFollowTheEnvironment) {
    using Variables = QMap<QString, QString>;
    for (const auto& [variables, languages] : std::vector<std::pair<Variables, QStringList>>{
             {{{"LANG", "zh_CN.UTF-8"}}, {"zh-CN"}},
             {{{"LANGUAGE", "fr_FR:zh_CN"}, {"LANG", "en_US.UTF-8"}}, {"fr-FR", "zh-CN", "en-US"}},
             // LC_ALL wins over LC_MESSAGES, which wins over LANG.
             {{{"LC_ALL", "de_DE@euro"}, {"LC_MESSAGES", "zh_TW"}, {"LANG", "fr_FR"}}, {"de-DE"}},
             {{{"LC_MESSAGES", "zh_TW"}, {"LANG", "fr_FR"}}, {"zh-TW"}},
             // The C locale turns translations off, LANGUAGE included.
             {{{"LANGUAGE", "zh_CN"}, {"LC_ALL", "C.UTF-8"}}, {"en"}},
             {{}, {}}}) {
        auto lookup = [&](const char* name) -> std::optional<QString> {
            auto found = variables.find(QString::fromLatin1(name));
            if (found == variables.end()) return std::nullopt;
            return *found;
        };
        EXPECT_EQ(Translations::preferredLanguages(lookup), languages);
    }
}

TEST(Translations, TheFirstLanguageChoosesTheCatalogueOfBothFrontEnds) {
    application();
    const auto words = Translations::statusWords();
    for (const auto& [languages, chinese] :
         std::vector<std::pair<QStringList, bool>>{{{"zh-Hans-CN", "en-US"}, true},
                                                   {{"ZH-HANT-TW"}, true},
                                                   {{"zh"}, true},
                                                   {{"en-US", "zh-CN"}, false},
                                                   {{"fr"}, false},
                                                   {{}, false}}) {
        EXPECT_EQ(Translations::use(languages), chinese) << languages.join(',').toStdString();
        EXPECT_EQ(StatusText::timeLeft(119, words), chinese ? "剩余 2 分钟" : "2 min left");
    }
}

} // namespace

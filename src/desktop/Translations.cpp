#include "desktop/Translations.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QTranslator>

#include <cstdlib>
#include <memory>

namespace Translations {

namespace {

QString languageTag(QString value) {
    // "zh_CN.UTF-8@variant" -> "zh-CN"
    const qsizetype cut = value.indexOf(QRegularExpression(QStringLiteral("[.@]")));
    if (cut >= 0) value.truncate(cut);
    value.replace(u'_', u'-');
    return value;
}

bool isPosixLocale(const QString& value) {
    return value == u"C" || value.startsWith(u"C.") || value == u"POSIX";
}

std::unique_ptr<QTranslator>& installed() {
    static std::unique_ptr<QTranslator> translator;
    return translator;
}

} // namespace

QStringList preferredLanguages(const EnvironmentLookup& lookup) {
    auto get = [&](const char* name) { return lookup(name).value_or(QString()); };
    QString locale = get("LC_ALL");
    if (locale.isEmpty()) locale = get("LC_MESSAGES");
    if (locale.isEmpty()) locale = get("LANG");
    if (isPosixLocale(locale)) return {QStringLiteral("en")};

    QStringList languages;
    for (const QString& entry : get("LANGUAGE").split(u':', Qt::SkipEmptyParts))
        languages.append(languageTag(entry));
    if (!locale.isEmpty()) languages.append(languageTag(locale));
    return languages;
}

QStringList preferredLanguages() {
    return preferredLanguages([](const char* name) -> std::optional<QString> {
        if (const char* value = std::getenv(name)) return QString::fromLocal8Bit(value);
        return std::nullopt;
    });
}

bool use(const QStringList& languages) {
    if (installed()) {
        QCoreApplication::removeTranslator(installed().get());
        installed().reset();
    }
    if (languages.isEmpty()) return false;
    // Only the first language counts: a French user with Chinese second
    // reads English, the source, rather than a language of second choice.
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QLocale(languages.first()), QStringLiteral("corvel"), QStringLiteral("_"),
                          QStringLiteral(":/i18n")))
        return false;
    QCoreApplication::installTranslator(translator.get());
    installed() = std::move(translator);
    return true;
}

StatusText::Translate statusWords() {
    return [](const char* source) {
        return QCoreApplication::translate(StatusText::context, source).toStdString();
    };
}

} // namespace Translations

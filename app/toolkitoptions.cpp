#include "toolkitoptions.h"

namespace fortune {

namespace {

// The options Qt reads when the window opens; the window gets these and only
// these. Without them set aside, the parser would read "-style" as a bundle of
// one-letter options.
struct ToolkitOption {
    const char *name;
    const char *value; // nullptr for a flag
    const char *description;
};
constexpr ToolkitOption kToolkitOptions[] = {
    {"platform", "name[:options]", "Qt platform plugin: xcb, wayland, offscreen..."},
    {"platformpluginpath", "path", "Where to look for platform plugins."},
    {"platformtheme", "name", "Platform theme: a desktop's fonts, dialogs..."},
    {"plugin", "name", "An input plugin to load as well."},
    {"qwindowgeometry", "geometry", "Size and place of the window: WxH+X+Y."},
    {"geometry", "geometry", "The same, on X11."},
    {"qwindowtitle", "title", "Title of the window."},
    {"qwindowicon", "file", "Icon of the window."},
    {"display", "display", "The X server to show the window on."},
    {"style", "name", "Widget style: Fusion, Windows, ..."},
    {"stylesheet", "file", "Qt style sheet for the window."},
    {"session", "id", "Session to restore (from the session manager)."},
    {"reverse", nullptr, "Lay the window out from right to left."},
    {"widgetcount", nullptr, "At the end, tell how many widgets were left."},
    {"nograb", nullptr, "Never grab the mouse or the keyboard (X11)."},
    {"dograb", nullptr, "Grab them even under a debugger (X11)."},
};

} // namespace

// Qt takes its options with one dash or two, and a value after "=" or as the
// next word.
bool isToolkitOption(const QString &arg, bool &valueFollows)
{
    QStringView name(arg);
    if (name.startsWith(u"--"))
        name = name.mid(2);
    else if (name.startsWith(u'-'))
        name = name.mid(1);
    else
        return false;
    const qsizetype equals = name.indexOf(u'=');
    for (const ToolkitOption &option : kToolkitOptions) {
        if (equals < 0 && name == QLatin1StringView(option.name)) {
            valueFollows = option.value != nullptr;
            return true;
        }
        if (equals >= 0 && option.value && name.left(equals) == QLatin1StringView(option.name)) {
            valueFollows = false;
            return true;
        }
    }
    return false;
}

QString toolkitHelp()
{
    QString text = QStringLiteral("\nOptions of the window, read by Qt (with one dash or two):\n");
    for (const ToolkitOption &option : kToolkitOptions) {
        QString name = QLatin1Char('-') + QLatin1StringView(option.name);
        if (option.value)
            name += QStringLiteral(" <%1>").arg(QLatin1StringView(option.value));
        text += QStringLiteral("  %1  %2\n").arg(name, -26).arg(QLatin1StringView(option.description));
    }
    return text;
}

ToolkitArguments::ToolkitArguments(const char *program, const QStringList &options)
{
    m_bytes.emplace_back(program);
    for (const QString &option : options)
        m_bytes.push_back(option.toLocal8Bit());
    for (QByteArray &bytes : m_bytes)
        m_argv.push_back(bytes.data());
    m_argc = int(m_bytes.size());
    m_argv.push_back(nullptr);
}

} // namespace fortune

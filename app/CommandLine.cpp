#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace tarnwell {

namespace {

const char kUsage[] =
    "usage: tarnwell [--textfile-dir DIR] [--walkthrough DIR]\n"
    "       tarnwell --help | --version\n"
    "  Watches the IIS 6 application pools of this server. Set IIS_METABASE to the path of a\n"
    "  MetaBase.xml to read it instead of the server's metabase.\n"
    "  --textfile-dir DIR writes every monitoring pass's figures to DIR/tarnwell.prom for\n"
    "                     a Prometheus exporter's textfile collector (also\n"
    "                     TARNWELL_TEXTFILE_DIR)\n"
    "  --walkthrough DIR  plays the demo's walk through in the window by itself (Refresh,\n"
    "                     every pool ticked, monitoring, an analysis of ShopPool until its\n"
    "                     overload is found, Stop), saves a picture of each tab at each step\n"
    "                     into DIR, and exits: 0 when every step was seen\n"
    "  -h, --help         shows this text\n"
    "  -v, --version      shows the version\n";

// Options that QGuiApplication and QApplication read themselves.
const char* const kQtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin",
                                       "qmljsdebugger", "qwindowgeometry", "geometry", "qwindowicon",
                                       "icon", "qwindowtitle", "title", "display", "name", "style",
                                       "stylesheet", "session", "fontengine", "dialogs"};
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};

// Names an unknown option as it was typed, dashes and all.
QString ErrorText(const QCommandLineParser& parser, const QStringList& arguments) {
  const QStringList unknown = parser.unknownOptionNames();
  if (unknown.isEmpty()) return parser.errorText();
  for (const QString& argument : arguments) {
    QString name = argument.section(QLatin1Char('='), 0, 0);
    while (name.startsWith(QLatin1Char('-'))) name.remove(0, 1);
    if (argument.startsWith(QLatin1Char('-')) && name == unknown.first())
      return QStringLiteral("unknown option ") + argument.section(QLatin1Char('='), 0, 0);
  }
  return parser.errorText();
}

}  // namespace

ProgramOptions ParseProgramOptions(const QStringList& arguments, const QString& textfileDirFromEnvironment) {
  QCommandLineParser parser;
  // Qt's options are single-dash words; so are ours when typed that way.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
  const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
  const QCommandLineOption walkthrough(QStringLiteral("walkthrough"), QString(), QStringLiteral("DIR"));
  parser.addOption(help);
  parser.addOption(version);
  parser.addOption(walkthrough);
  const QCommandLineOption textfileDir(QStringLiteral("textfile-dir"), QString(), QStringLiteral("DIR"));
  parser.addOption(textfileDir);
  for (const char* name : kQtValueOptions)
    parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
  for (const char* name : kQtFlags) parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

  ProgramOptions options;
  const QString usage = QString::fromLatin1(kUsage);
  if (!parser.parse(arguments)) {
    options.action = ProgramOptions::Action::Fail;
    options.text = QStringLiteral("tarnwell: ") + ErrorText(parser, arguments) + QLatin1Char('\n') + usage;
  } else if (!parser.positionalArguments().isEmpty()) {
    options.action = ProgramOptions::Action::Fail;
    options.text = QStringLiteral("tarnwell: unexpected argument '") + parser.positionalArguments().first() +
                   QStringLiteral("'\n") + usage;
  } else if (parser.isSet(help)) {
    options.action = ProgramOptions::Action::Help;
    options.text = usage;
  } else if (parser.isSet(version)) {
    options.action = ProgramOptions::Action::Version;
    options.text = QStringLiteral("Tarnwell " TARNWELL_VERSION "\n");
  } else if (parser.isSet(textfileDir) && parser.value(textfileDir).isEmpty()) {
    options.action = ProgramOptions::Action::Fail;
    options.text = QStringLiteral("tarnwell: --textfile-dir needs a folder\n") + usage;
  } else if (parser.isSet(walkthrough)) {
    options.walkthrough = parser.value(walkthrough);
    if (options.walkthrough.isEmpty()) {
      options.action = ProgramOptions::Action::Fail;
      options.text = QStringLiteral("tarnwell: --walkthrough needs a folder\n") + usage;
    }
  }
  if (options.action == ProgramOptions::Action::Run)
    options.textfileDir = parser.isSet(textfileDir) ? parser.value(textfileDir) : textfileDirFromEnvironment;
  return options;
}

}  // namespace tarnwell

// Real clients against the server: curl downloads, recursive wget mirrors, and Chromium showing real names.
#include "httptestsupport.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

#include <cstdio>

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ClientTimeoutMs = 60'000;

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 13) ^ (i >> 7));
    return bytes;
}

// Runs a program while the server (on this thread) keeps answering; gives its standard output.
QByteArray run(const QString &program, const QStringList &arguments, int *exitCode)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStandardPaths::findExecutable(program), arguments);
    if (!pumpUntil([&] { return process.state() == QProcess::NotRunning; }, ClientTimeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The listing pages of the tree that makeTree builds, as a mirror keeps them: the root as
// index.html, a folder as its name + ".html".
const QMap<QString, QByteArray> TreePages {
    {u"index.html"_s,
     FoldersStart + folderLine("/music", "music") + folderLine("/deep", "deep")
         + folderLine("/empty", "empty") + FileTableStart + fileRow("/readme", "readme", "0")
         + fileRow("/empty.txt", "empty.txt", "0") + fileRow("/a b.txt", "a b.txt", "0")
         + fileRow("/page.html", "page.html", "0") + fileRow("/song.mp3", "song.mp3", "68") + FileTableEnd},
    {u"music.html"_s,
     FoldersStart + folderLine("/music/live", "live") + FileTableStart
         + fileRow("/music/list.m3u", "list.m3u", "0") + FileTableEnd},
    {u"music/live.html"_s,
     "<html><body>" + FileTableStart + fileRow("/music/live/track.bin", "track.bin", "5") + FileTableEnd},
    {u"deep.html"_s, FoldersStart + folderLine("/deep/a", "a") + "</body></html>"},
    {u"deep/a.html"_s, FoldersStart + folderLine("/deep/a/b", "b") + "</body></html>"},
    {u"deep/a/b.html"_s, FoldersStart + folderLine("/deep/a/b/c", "c") + "</body></html>"},
    {u"deep/a/b/c.html"_s,
     "<html><body>" + FileTableStart + fileRow("/deep/a/b/c/leaf.dat", "leaf.dat", "2") + FileTableEnd},
    {u"empty.html"_s, EmptyPage},
};

// The served tree, and what a mirror of it must hold besides its listing pages.
QMap<QString, QByteArray> makeTree(const TestServer &tree)
{
    const QMap<QString, QByteArray> files {
        {u"readme"_s, "plain text\n"},        {u"empty.txt"_s, {}},
        {u"a b.txt"_s, "with a space"},       {u"page.html"_s, "<html><body>no links here</body></html>"},
        {u"song.mp3"_s, pattern(70'000)},     {u"music/live/track.bin"_s, pattern(5000)},
        {u"music/list.m3u"_s, "track.bin\n"}, {u"deep/a/b/c/leaf.dat"_s, pattern(2049)},
    };
    tree.makeFolder("music/live");
    tree.makeFolder("deep/a/b/c");
    tree.makeFolder("empty");
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        tree.writeFile(it.key().toUtf8(), it.value());
    tree.writeFile(".hidden", "never mirrored");
    tree.makeFolder(".secret");
    tree.writeFile(".secret/x", "never mirrored");
    return files;
}

// A file (or folder, with no content) of the tree of real names, and what a browser must show for it.
struct RealName
{
    QByteArray path; // below the served folder, as bytes on disk
    QString shown; // the name as a person must see it
    QByteArray content;
    bool listed = true;
};

// Names people really have, names that look like markup or escapes, and names no system should offer.
QList<RealName> makeRealNamesTree(const TestServer &tree)
{
    const QByteArray folder = "Gleispl\xC3\xA4ne";
    QList<RealName> names {
        {folder, u"Gleispläne"_s, {}},
        {folder + "/Lokliste M\xC3\xA4rz.txt", u"Lokliste März.txt"_s, {}},
        {folder
             + "/\xC3\x9C"
               "bersicht Gleisplan.pdf",
         u"Übersicht Gleisplan.pdf"_s,
         {}},
        {"a%20b.txt", u"a%20b.txt"_s, {}},
        {"#1 Fahrplan.txt", u"#1 Fahrplan.txt"_s, {}},
        {"100% sicher.txt", u"100% sicher.txt"_s, {}},
        {"<svg onload=alert(1)>.txt", u"<svg onload=alert(1)>.txt"_s, {}},
        {"<i>kursiv & \"zitiert\" 'einfach'.txt", u"<i>kursiv & \"zitiert\" 'einfach'.txt"_s, {}},
        {"wer?.txt", u"wer?.txt"_s, {}},
        {"stern*.txt", u"stern*.txt"_s, {}},
        {"[x]{y}.txt", u"[x]{y}.txt"_s, {}},
        {"schräg\\strich.txt", u"schräg\\strich.txt"_s, {}},
        {"a+b=c;d,e@f~g.txt", u"a+b=c;d,e@f~g.txt"_s, {}},
        {"\xF0\x9F\x9A\x82 Dampflok.txt", u"\U0001F682 Dampflok.txt"_s, {}},
        {"caf\xE9 alt.txt", u"café alt.txt"_s, {}},
        {"bell\x07.txt", QString(), {}, false},
    };
    tree.makeFolder(folder);
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (i == 0)
            continue;
        names[i].content = "content of name " + QByteArray::number(i) + '\n';
        tree.writeFile(names[i].path, names[i].content);
    }
    return names;
}

// Removes a tree by its byte names, which the temporary folder's own clean-up cannot spell.
void removeTree(const QString &path)
{
    ::nftw(
        QFile::encodeName(path).constData(),
        [](const char *entry, const struct stat *, int, struct FTW *) {
            ::remove(entry);
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

QByteArray readBytes(const QByteArray &path)
{
    QByteArray content;
    if (std::FILE *file = std::fopen(path.constData(), "rb")) {
        char buffer[4096];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            content.append(buffer, qsizetype(got));
        std::fclose(file);
    }
    return content;
}

// Every file below `root` by its byte path, with its content.
void collectFiles(const QByteArray &root, const QByteArray &relative, QMap<QByteArray, QByteArray> &files)
{
    DIR *dir = ::opendir((relative.isEmpty() ? root : root + '/' + relative).constData());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray path = relative.isEmpty() ? name : relative + '/' + name;
        struct stat info
        {
        };
        if (::lstat((root + '/' + path).constData(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode))
            collectFiles(root, path, files);
        else
            files.insert(path, readBytes(root + '/' + path));
    }
    ::closedir(dir);
}

// The links of a page: the href as written, and the shown text as a browser reads its character references.
QList<std::pair<QByteArray, QString>> linksOf(const QByteArray &page)
{
    QList<std::pair<QByteArray, QString>> links;
    static const QRegularExpression anchor(u"<a href=\"([^\"]*)\">(.*?)</a>"_s);
    static const QRegularExpression reference(u"&#([0-9]+);"_s);
    for (const QRegularExpressionMatch &match : anchor.globalMatch(QString::fromLatin1(page))) {
        QString text = match.captured(2);
        for (QRegularExpressionMatch ref = reference.match(text); ref.hasMatch();
             ref = reference.match(text)) {
            const char32_t code = ref.captured(1).toUInt();
            text.replace(ref.capturedStart(), ref.capturedLength(), QString::fromUcs4(&code, 1));
        }
        links.append({match.captured(1).toLatin1(), text});
    }
    return links;
}

// The names a page shows, sorted.
QStringList shownNamesOf(const QByteArray &page)
{
    QStringList shown;
    for (const auto &[href, text] : linksOf(page))
        shown.append(text);
    shown.sort();
    return shown;
}

} // namespace

class TestHttpClients : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void curlDownloads_data();
    void curlDownloads();
    void wgetMirrorsTheFolderExactly();
    void realNamesReachCurlAndWget();
    void chromiumShowsAndFetchesRealNames();
};

void TestHttpClients::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(u"curl"_s).isEmpty(),
             "curl is needed (the Makefile installs it)");
    QVERIFY2(!QStandardPaths::findExecutable(u"wget"_s).isEmpty(),
             "wget is needed (the Makefile installs it)");
}

void TestHttpClients::curlDownloads_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file"); // served file, a page of TreePages, or "-" for none
    QTest::addColumn<QString>("status");

    QTest::newRow("binary file") << u"/song.mp3"_s << u"song.mp3"_s << u"200"_s;
    QTest::newRow("nested file") << u"/music/live/track.bin"_s << u"music/live/track.bin"_s << u"200"_s;
    QTest::newRow("name with a space") << u"/a%20b.txt"_s << u"a b.txt"_s << u"200"_s;
    QTest::newRow("empty file") << u"/empty.txt"_s << u"empty.txt"_s << u"200"_s;
    QTest::newRow("root listing") << u"/"_s << u"index.html"_s << u"200"_s;
    QTest::newRow("folder listing") << u"/music"_s << u"music.html"_s << u"200"_s;
    QTest::newRow("missing") << u"/nothing"_s << u"-"_s << u"404"_s;
    QTest::newRow("hidden") << u"/.hidden"_s << u"-"_s << u"404"_s;
}

void TestHttpClients::curlDownloads()
{
    QFETCH(QString, path);
    QFETCH(QString, file);
    QFETCH(QString, status);
    TestServer server;
    makeTree(server);
    const QString output = server.base.path() + u"/download"_s;
    int exitCode = 0;
    const QByteArray code
        = run(u"curl"_s,
              {u"--silent"_s, u"--max-time"_s, u"30"_s, u"--output"_s, output, u"--write-out"_s,
               u"%{http_code}"_s, u"http://127.0.0.1:"_s + QString::number(server.port()) + path},
              &exitCode);
    QCOMPARE(exitCode, 0);
    QCOMPARE(QString::fromLatin1(code), status);
    if (file == u"-"_s)
        QCOMPARE(readFile(output), QByteArray());
    else if (TreePages.contains(file))
        QCOMPARE(inNameOrder(readFile(output)), inNameOrder(TreePages.value(file)));
    else
        QCOMPARE(readFile(output), readFile(server.path(file)));
}

void TestHttpClients::wgetMirrorsTheFolderExactly()
{
    TestServer server;
    const QMap<QString, QByteArray> served = makeTree(server);

    const QString mirror = server.base.path() + u"/mirror"_s;
    int exitCode = 0;
    // wget keeps a connection for reuse even when an HTTP/1.0 answer does not offer
    // keep-alive; the server closes every connection after its one answer, so a
    // reuse would race that close. One connection per request, as the server serves.
    run(u"wget"_s,
        {u"--recursive"_s, u"--level=inf"_s, u"--no-host-directories"_s, u"--adjust-extension"_s,
         u"--no-http-keep-alive"_s, u"-e"_s, u"robots=off"_s, u"--quiet"_s, u"--tries=1"_s, u"--timeout=30"_s,
         u"--directory-prefix="_s + mirror, u"http://127.0.0.1:"_s + QString::number(server.port()) + u"/"_s},
        &exitCode);
    QCOMPARE(exitCode, 0);

    QMap<QString, QByteArray> mirrored;
    QDirIterator files(mirror, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        mirrored.insert(path.mid(mirror.size() + 1), readFile(path));
    }
    QStringList wanted = served.keys() + TreePages.keys();
    wanted.sort();
    QCOMPARE(mirrored.keys(), wanted);
    for (auto it = served.cbegin(); it != served.cend(); ++it)
        QVERIFY2(mirrored.value(it.key()) == it.value(), qPrintable(it.key()));
    for (auto it = TreePages.cbegin(); it != TreePages.cend(); ++it)
        QVERIFY2(inNameOrder(mirrored.value(it.key())) == inNameOrder(it.value()), qPrintable(it.key()));
}

void TestHttpClients::realNamesReachCurlAndWget()
{
    TestServer server;
    const QList<RealName> names = makeRealNamesTree(server);
    const QString base = u"http://127.0.0.1:"_s + QString::number(server.port());
    const QByteArray rootPage = exchange(server.port(), getRequest("/")).body();
    const QByteArray folderPage = exchange(server.port(), getRequest("/Gleispl%C3%A4ne/")).body();
    QMap<QByteArray, QByteArray> listed; // path -> content, pages for folders
    QStringList inRoot;
    QStringList inFolder;
    for (const RealName &name : names) {
        if (!name.listed)
            continue;
        listed.insert(name.path, name.content.isNull() ? folderPage : name.content);
        (name.path.startsWith(names[0].path + '/') ? inFolder : inRoot).append(name.shown);
    }
    inRoot.sort();
    inFolder.sort();
    QCOMPARE(shownNamesOf(rootPage), inRoot);
    QCOMPARE(shownNamesOf(folderPage), inFolder);

    // Every link of both pages, given to curl as the page writes it, fetches its own file.
    QSet<QByteArray> fetched;
    for (const QByteArray &page : {rootPage, folderPage}) {
        for (const auto &[href, shown] : linksOf(page)) {
            const auto name = std::find_if(names.cbegin(), names.cend(),
                                           [&](const RealName &n) { return n.shown == shown; });
            QVERIFY2(name != names.cend() && name->listed, qPrintable(shown));
            // curl refuses a URL with a space, so such a link goes as the request target itself; it
            // would read [] and {} as its own patterns, as a browser does not.
            QList<QStringList> ways {{u"--request-target"_s, QString::fromLatin1(href), base + u'/'}};
            if (!href.contains(' '))
                ways.append({base + QString::fromLatin1(href)});
            for (const QStringList &way : ways) {
                int exitCode = 0;
                const QByteArray body = run(
                    u"curl"_s, QStringList {u"--silent"_s, u"--globoff"_s, u"--max-time"_s, u"30"_s} + way,
                    &exitCode);
                QCOMPARE(exitCode, 0);
                QVERIFY2(body == listed.value(name->path), qPrintable(way.join(u' ')));
            }
            fetched.insert(name->path);
        }
    }
    QCOMPARE(fetched.size(), listed.size());

    // A recursive mirror holds every listed file under its own name, with its own bytes.
    const QString mirror = server.base.path() + u"/mirror"_s;
    int exitCode = 0;
    run(u"wget"_s,
        {u"--recursive"_s, u"--level=inf"_s, u"--no-host-directories"_s, u"--no-http-keep-alive"_s,
         u"--restrict-file-names=nocontrol"_s, u"-e"_s, u"robots=off"_s, u"--quiet"_s, u"--tries=1"_s,
         u"--timeout=30"_s, u"--directory-prefix="_s + mirror, base + u'/'},
        &exitCode);
    QMap<QByteArray, QByteArray> mirrored;
    collectFiles(QFile::encodeName(mirror), {}, mirrored);
    removeTree(server.base.path());
    QCOMPARE(exitCode, 0);
    // wget fetched every listed file; it names its copy as the file is named, except that it
    // decodes a "%" escape inside a name once more (a%20b.txt is kept as "a b.txt").
    QMultiMap<QByteArray, QByteArray> copies; // content -> name of the copy
    for (auto it = mirrored.cbegin(); it != mirrored.cend(); ++it) {
        if (!it.value().startsWith("<html>"))
            copies.insert(it.value(), it.key());
    }
    QMultiMap<QByteArray, QByteArray> originals;
    for (auto it = listed.cbegin(); it != listed.cend(); ++it) {
        if (!it.value().startsWith("<html>"))
            originals.insert(it.value(), it.key());
    }
    QCOMPARE(copies.keys(), originals.keys());
    for (auto it = originals.cbegin(); it != originals.cend(); ++it) {
        if (!it.value().contains('%'))
            QCOMPARE(copies.value(it.key()), it.value());
    }
}

void TestHttpClients::chromiumShowsAndFetchesRealNames()
{
    const QString chromium = QStandardPaths::findExecutable(u"chromium"_s);
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (Debian package chromium)");
    TestServer server;
    const QList<RealName> names = makeRealNamesTree(server);
    // A page of the served tree that opens both listings the way a person does, and
    // follows every link the way a click would (the link's own URL as Chromium resolves it).
    server.writeFile("probe.html", R"(<html><body>
<iframe src="/"></iframe><iframe src="/Gleispl%C3%A4ne/"></iframe><pre id="out"></pre>
<script>
window.onload = function () {
  var lines = [];
  for (var f = 0; f < frames.length; ++f) {
    var doc = frames[f].document;
    var tags = {};
    var all = doc.getElementsByTagName('*');
    for (var t = 0; t < all.length; ++t)
      tags[all[t].tagName] = true;
    lines.push('tags ' + encodeURIComponent(Object.keys(tags).sort().join(' ')));
    var links = doc.getElementsByTagName('a');
    for (var i = 0; i < links.length; ++i) {
      var status = 0;
      var body = '';
      try {
        var request = new XMLHttpRequest();
        request.open('GET', links[i].href, false);
        request.send();
        status = request.status;
        body = request.responseText;
      } catch (e) {
        body = String(e);
      }
      lines.push('link ' + encodeURIComponent(links[i].textContent) + ' ' + status + ' '
                 + encodeURIComponent(body));
    }
  }
  document.getElementById('out').textContent = lines.join('\n');
};
</script></body></html>)");
    const QString profile = server.base.path() + u"/chromium-profile"_s;
    int exitCode = 0;
    const QByteArray dom
        = run(chromium,
              {u"--headless"_s, u"--no-sandbox"_s, u"--disable-gpu"_s, u"--disable-quic"_s,
               u"--no-first-run"_s, u"--disable-background-networking"_s, u"--disable-component-update"_s,
               u"--disable-sync"_s, u"--user-data-dir="_s + profile, u"--dump-dom"_s,
               u"http://127.0.0.1:"_s + QString::number(server.port()) + u"/probe.html"_s},
              &exitCode);
    const QByteArray folderPage = exchange(server.port(), getRequest("/Gleispl%C3%A4ne/")).body();
    removeTree(server.base.path());
    QCOMPARE(exitCode, 0);

    const QSet<QString> allowedTags {u"HTML"_s, u"HEAD"_s,  u"BODY"_s,  u"B"_s,  u"BR"_s,
                                     u"A"_s,    u"TABLE"_s, u"TBODY"_s, u"TR"_s, u"TD"_s};
    QMap<QString, int> shown;
    int pages = 0;
    const QByteArray output = "<pre id=\"out\">";
    const qsizetype start = dom.indexOf(output) + output.size();
    const QList<QByteArray> lines = dom.mid(start, dom.indexOf("</pre>") - start).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.value(0) == "tags") {
            ++pages;
            const QStringList tags = QUrl::fromPercentEncoding(fields.value(1)).split(u' ');
            for (const QString &tag : tags)
                QVERIFY2(allowedTags.contains(tag), qPrintable(u"markup from a name: "_s + tag));
            continue;
        }
        QCOMPARE(fields.size(), 4);
        const QString text = QUrl::fromPercentEncoding(fields[1]);
        const QByteArray body = QUrl::fromPercentEncoding(fields[3]).toUtf8();
        ++shown[text];
        QCOMPARE(fields[2], QByteArray("200"));
        if (text == u"probe.html"_s)
            continue;
        const auto name
            = std::find_if(names.cbegin(), names.cend(), [&](const RealName &n) { return n.shown == text; });
        QVERIFY2(name != names.cend() && name->listed, qPrintable(u"shown: "_s + text));
        QVERIFY2(body == (name->content.isNull() ? folderPage : name->content), qPrintable(text));
    }
    QCOMPARE(pages, 2);
    for (const RealName &name : names)
        QCOMPARE(shown.value(name.shown), name.listed ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestHttpClients)
#include "tst_httpclients.moc"

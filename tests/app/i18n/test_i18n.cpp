// The window in English and in Chinese.  The translation is installed as
// main() installs it.  Under an English locale no text the window shows (on
// any page, in its lists and tables, in the preview and in its messages) has
// a Chinese character, and every text fits the room the window gives it;
// under a Chinese locale the window shows its Chinese texts.  The English
// translation covers every text of the program.
#include "applanguage.h"
#include "results/sample_finds.h"

#include <QDirIterator>
#include <QHeaderView>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace apptest;

namespace {

enum { Image, Document };

bool isChinese(QChar c) {
    const ushort u = c.unicode();
    return (u >= 0x2E80 && u <= 0x9FFF)      // radicals, CJK punctuation, kana, ideographs
           || (u >= 0xF900 && u <= 0xFAFF)   // compatibility ideographs
           || (u >= 0xFE30 && u <= 0xFE4F)   // compatibility forms
           || (u >= 0xFF00 && u <= 0xFFEF);  // full-width forms: （），！：
}

bool hasChinese(const QString &s) { return std::any_of(s.begin(), s.end(), isChinese); }

// The texts among `texts` that hold a Chinese character, one a line.
std::string chineseAmong(const QStringList &texts) {
    QStringList found;
    for (const QString &t : texts)
        if (hasChinese(t)) found << t;
    return found.join(QLatin1Char('\n')).toStdString();
}

// The language of the window for as long as it lives; the Chinese source
// texts again after it.
struct Language {
    bool ok;
    explicit Language(const char *locale) : ok(AppLanguage::install(QLocale(QString::fromLatin1(locale)))) {}
    ~Language() { AppLanguage::install(QLocale(QStringLiteral("zh_CN"))); }
};

void addViewTexts(QAbstractItemView *view, QStringList &texts) {
    QAbstractItemModel *m = view->model();
    if (!m) return;
    for (int c = 0; c < m->columnCount(); ++c) texts << m->headerData(c, Qt::Horizontal).toString();
    for (int r = 0; r < m->rowCount(); ++r)
        for (int c = 0; c < m->columnCount(); ++c) texts << m->index(r, c).data().toString();
}

// Every text of `top` and its children, shown or not: titles, labels,
// buttons, and the headers and cells of the lists and tables.
QStringList textsOf(QWidget *top) {
    QStringList texts{top->windowTitle()};
    for (QLabel *l : top->findChildren<QLabel *>()) texts << l->text();
    for (QAbstractButton *b : top->findChildren<QAbstractButton *>()) texts << b->text();
    for (QAbstractItemView *v : top->findChildren<QAbstractItemView *>()) addViewTexts(v, texts);
    texts.removeAll(QString());
    return texts;
}

// The texts of `top` that do not fit the room they are drawn in.
QStringList cramped(QWidget *top) {
    QStringList out;
    const auto tooWide = [&out](const QString &what, const QString &text, int needed, int room) {
        if (needed > room) out << QStringLiteral("%1 \"%2\": %3 px in %4").arg(what, text).arg(needed).arg(room);
    };
    for (QLabel *l : top->findChildren<QLabel *>()) {
        if (l->text().isEmpty() || l->wordWrap()) continue;
        l->ensurePolished();
        tooWide(l->objectName(), l->text(), l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width());
    }
    for (QPushButton *b : top->findChildren<QPushButton *>()) {
        if (b->text().isEmpty()) continue;
        b->ensurePolished();
        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.text = b->text();
        opt.icon = b->icon();
        opt.iconSize = b->iconSize();
        const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
        int needed = b->fontMetrics().horizontalAdvance(b->text());
        if (!b->icon().isNull()) needed += b->iconSize().width() + 4;
        tooWide(b->objectName(), b->text(), needed, room.width());
    }
    for (QAbstractItemView *v : top->findChildren<QAbstractItemView *>()) {
        if (!v->model()) continue;
        QHeaderView *h = nullptr;
        if (auto *tree = qobject_cast<QTreeView *>(v)) h = tree->header();
        if (auto *table = qobject_cast<QTableView *>(v)) h = table->horizontalHeader();
        if (!h || h->isHidden()) continue;
        h->ensurePolished();
        // A section's text may run into its padding, not over its borders.
        for (int c = 0; c < h->count(); ++c) {
            const QString label = v->model()->headerData(c, Qt::Horizontal).toString();
            tooWide(v->objectName() + QStringLiteral(" header"), label, h->fontMetrics().horizontalAdvance(label) + 4,
                    h->sectionSize(c));
        }
    }
    // The category list has no room to scroll sideways: its names and
    // counts fit beside their icons.
    if (auto *tree = top->findChild<QTreeView *>(QStringLiteral("categoryTree"))) {
        tree->ensurePolished();
        for (int r = 0; tree->model() && r < tree->model()->rowCount(); ++r) {
            const QModelIndex index = tree->model()->index(r, 0);
            const QRect item = tree->visualRect(index);
            const QString name = index.data().toString();
            // Margins of 3 px, a 16 px icon and 6 px to the text.
            const int needed = item.x() + 3 + 16 + 6 + tree->fontMetrics().horizontalAdvance(name) + 3;
            tooWide(QStringLiteral("categoryTree"), name, needed, tree->viewport()->width());
        }
    }
    return out;
}

QString text(QWidget *w, const char *name) {
    QWidget *c = child<QWidget>(w, name);
    if (auto *l = qobject_cast<QLabel *>(c)) return l->text();
    if (auto *b = qobject_cast<QAbstractButton *>(c)) return b->text();
    return QString();
}

// Twelve pictures and a document, listed as a scan lists them.
QVector<Sample> samples() {
    QVector<Sample> s;
    for (int i = 0; i < 12; ++i) s << sampleJunk("jpg", 3000 + i);
    s << sampleFile("document/gs_lf.pdf", "pdf");
    return s;
}

struct Listed {
    SampleVolume vol{samples()};
    Session s{QStringList()};
    MainWindow *w = s.w();
    explicit Listed(const QString &devFile = QString(), int count = 13) {
        for (int i = 0; i < count; ++i) feed(w, vol.record(i, devFile));
        w->showPage(2);
    }
    void check(int category, int row) { clickCell(table(w, category), row, 1); }
};

// What the one open preview shows once it has loaded, with its title.
QStringList previewTexts(MainWindow *w) {
    QList<PreviewDialog *> open = previews(w);
    if (open.size() != 1) {
        ADD_FAILURE() << open.size() << " previews open";
        return {};
    }
    auto *label = open.first()->findChild<QLabel *>(QStringLiteral("previewLabel"));
    const QString loading = label->text();
    lmrtest::pumpUntil([&] { return label->text() != loading || !label->pixmap(Qt::ReturnByValue).isNull(); }, 5000);
    return {open.first()->windowTitle(), loading, label->text()};
}

// With LUMAREK_I18N_SHOTS=DIR the window is saved as DIR/NAME.png, to
// look at the texts in place.
void shot(QWidget *w, const char *name) {
    const QString dir = qEnvironmentVariable("LUMAREK_I18N_SHOTS");
    if (dir.isEmpty()) return;
    lmrtest::pumpUntil([] { return false; }, 100);
    EXPECT_TRUE(w->grab().save(QDir(dir).filePath(QString::fromLatin1(name) + QStringLiteral(".png"))));
}

}  // namespace

TEST(English, NoPageShowsChineseAndEveryTextFits) {
    Language english("en_US");
    ASSERT_TRUE(english.ok);
    ASSERT_TRUE(DemoVolume::get().ok());
    Session s;
    MainWindow *w = s.w();

    EXPECT_EQ(w->windowTitle(), QStringLiteral("Lumarek Data Recovery"));
    EXPECT_EQ(text(w, "hintLabel"), QStringLiteral("Choose the partition to recover files from:"));
    EXPECT_EQ(chineseAmong(textsOf(w)), "");
    EXPECT_EQ(cramped(w).join(QLatin1Char('\n')).toStdString(), "");

    shot(w, "en-1-partitions");
    click(w, "refreshBtn");  // the image named at start is no longer chosen
    click(w, "nextBtn");
    EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("Please choose the partition to recover from first.")});

    clickCell(child<QTreeView>(w, "driveTreeView"), driveRow(w, QFileInfo(DemoVolume::get().image).fileName()), 0);
    click(w, "nextBtn");
    shot(w, "en-2-kinds");
    click(w, "scanBtn");
    ASSERT_TRUE(s.waitEnded());
    lmrtest::pumpUntil([&] { return w->thumbnailsPending() == 0; }, 10000);
    const int found = s.totalRows();
    ASSERT_GT(found, 1);
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("Found %1 files").arg(found));
    EXPECT_EQ(child<QTreeView>(w, "categoryTree")->model()->index(0, 0).data().toString(),
              QStringLiteral("Pictures(%1)").arg(s.rows(Image)));
    // Every page, with the pause and resume buttons of a running scan too.
    EXPECT_EQ(chineseAmong(textsOf(w)), "");
    EXPECT_EQ(cramped(w).join(QLatin1Char('\n')).toStdString(), "");
    shot(w, "en-3-results");

    click(w, "exportBtn");
    EXPECT_EQ(s.prompts.messages.last(), QStringLiteral("Please select the files to save first."));
    EXPECT_EQ(chineseAmong(s.prompts.messages), "");
}

TEST(English, WhatTheCommandLineNamesAndAnImagesPartitionsAreSaidInEnglish) {
    Language english("en_US");
    ASSERT_TRUE(english.ok);
    ASSERT_TRUE(DemoCard::get().ok());
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("empty.img"));
    QFile(empty).open(QIODevice::WriteOnly);
    Session s({dir.filePath(QStringLiteral("missing.img")), dir.path(), empty, DemoCard::get().image});
    ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
    click(s.w(), "nextBtn");  // on the empty image, chosen as the first named
    ASSERT_EQ(s.prompts.messages.size(), 2);
    EXPECT_EQ(chineseAmong(s.prompts.messages + textsOf(s.w())), "");
    auto *drives = child<QTreeView>(s.w(), "driveTreeView");
    const int card = driveRow(s.w(), QStringLiteral("demo-card.img"));
    ASSERT_GE(card, 0);
    EXPECT_EQ(drives->model()->index(card + 1, 0).data(Qt::ToolTipRole).toString(),
              QStringLiteral("Partition 1 of %1").arg(DemoCard::get().image));
    EXPECT_EQ(chineseAmong({drives->model()->index(driveRow(s.w(), QStringLiteral("empty.img")), 0).data().toString()}),
              "");
}

TEST(English, MessagesAndThePreviewAreInEnglish) {
    Language english("en_US");
    ASSERT_TRUE(english.ok);
    QTemporaryDir work;
    const QString plain = work.filePath(QStringLiteral("plain"));
    {
        QFile f(plain);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    {
        // Twelve pictures that cannot be saved: ten named and the rest counted.
        Listed l;
        for (int row = 0; row < 12; ++row) l.check(Image, row);
        l.s.prompts.folder = plain + QStringLiteral("/sub");
        l.s.save();
        ASSERT_EQ(l.s.prompts.messages.size(), 1);
        const QString said = l.s.prompts.messages.first();
        EXPECT_TRUE(said.startsWith(QStringLiteral("Saved 0 of 12 files.\nCould not save:\n"))) << said.toStdString();
        EXPECT_TRUE(said.endsWith(QStringLiteral("\n...and 2 more files"))) << said.toStdString();
        EXPECT_EQ(chineseAmong({said}), "");
        EXPECT_EQ(text(l.w, "successLabel"), QStringLiteral("Found 13 files"));
        EXPECT_EQ(headerText(table(l.w, Image), 0), QStringLiteral("✓"));
        EXPECT_EQ(cramped(l.w).join(QLatin1Char('\n')).toStdString(), "");

        // The preview of a document, which has none.
        showCategory(l.w, Document);
        clickCell(table(l.w, Document), 0, 4);
        EXPECT_EQ(previewTexts(l.w), (QStringList{QStringLiteral("Preview"), QStringLiteral("Loading..."),
                                                  QStringLiteral("No preview available")}));
        for (PreviewDialog *d : previews(l.w)) shot(d, "en-4-preview");
        for (PreviewDialog *d : previews(l.w)) EXPECT_EQ(cramped(d).join(QLatin1Char('\n')).toStdString(), "");
        closePreviews(l.w);
    }
    {
        // One picture: singular, and then saved.
        Listed l(QString(), 1);
        EXPECT_EQ(text(l.w, "successLabel"), QStringLiteral("Found 1 file"));
        l.check(Image, 0);
        l.s.prompts.folder = plain + QStringLiteral("/sub");
        l.s.save();
        ASSERT_EQ(l.s.prompts.messages.size(), 1);
        EXPECT_TRUE(l.s.prompts.messages.first().startsWith(QStringLiteral("Saved 0 of 1 file.\nCould not save:\n")))
            << l.s.prompts.messages.first().toStdString();
        l.s.prompts.folder = work.path();
        l.s.save();
        EXPECT_EQ(l.s.prompts.messages.last(), QStringLiteral("Saved 1 file(s) to %1").arg(QDir::toNativeSeparators(work.path())));
    }
    {
        // The question before writing onto the partition being recovered.
        QTemporaryDir nodes;
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(work.path()).constData(), &st), 0);
        const QString node = nodes.filePath(QStringLiteral("scanned"));
        if (::mknod(QFile::encodeName(node).constData(), S_IFBLK | 0600, makedev(major(st.st_dev), minor(st.st_dev))) == 0) {
            Listed l(node, 0);
            feed(l.w, l.vol.record(12, node));
            showCategory(l.w, Document);
            l.check(Document, 0);
            l.s.prompts.folder = work.path();
            l.s.save();
            ASSERT_EQ(l.s.prompts.questions.size(), 1);
            EXPECT_TRUE(l.s.prompts.questions.first().startsWith(
                QStringLiteral("The chosen folder %1 is on the partition being recovered.").arg(work.path())))
                << l.s.prompts.questions.first().toStdString();
            EXPECT_EQ(chineseAmong(l.s.prompts.questions), "");
        }
    }
    {
        // A volume that cannot be read.
        const QString gone = work.filePath(QStringLiteral("gone.img"));
        {
            QFile f(gone);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.resize(1 << 20);
        }
        Session s({gone});
        QFile::remove(gone);
        clickCell(child<QTreeView>(s.w(), "driveTreeView"), driveRow(s.w(), QStringLiteral("gone.img")), 0);
        click(s.w(), "nextBtn");
        click(s.w(), "scanBtn");
        ASSERT_TRUE(s.waitEnded());
        ASSERT_TRUE(lmrtest::pumpUntil([&] { return !s.prompts.messages.isEmpty(); }, 5000));
        EXPECT_TRUE(s.prompts.messages.first().startsWith(QStringLiteral("Cannot read the selected partition %1.\n").arg(gone)))
            << s.prompts.messages.first().toStdString();
        EXPECT_EQ(chineseAmong(s.prompts.messages), "");
    }
}

TEST(Chinese, TheWindowShowsItsChineseTexts) {
    Language chinese("zh_CN");
    ASSERT_TRUE(chinese.ok);
    Listed l(QString(), 2);
    MainWindow *w = l.w;
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Lumarek数据恢复"));
    EXPECT_EQ(text(w, "hintLabel"), QStringLiteral("请选择需要恢复文件的分区："));
    EXPECT_EQ(text(w, "nextBtn"), QStringLiteral("下一步"));
    EXPECT_EQ(text(w, "scanBtn"), QStringLiteral("开始扫描"));
    EXPECT_EQ(text(w, "titleAll"), QStringLiteral("所有文件"));
    EXPECT_EQ(text(w, "successLabel"), QStringLiteral("已扫描到2个文件"));
    EXPECT_EQ(child<QTreeView>(w, "categoryTree")->model()->index(1, 0).data().toString(), QStringLiteral("文档"));
    EXPECT_EQ(child<QTreeView>(w, "driveTreeView")->model()->headerData(0, Qt::Horizontal).toString(),
              QStringLiteral("分区名称"));
    EXPECT_EQ(headerText(table(w, Image), 0), QStringLiteral("选中"));
    // The layout the form gives.
    // The tick-all box and the whole of "选中" beside it, with the header's
    // margins on either side (the form's 40 px clipped the text to "选").
    {
        QHeaderView *h = table(w, Image)->horizontalHeader();
        h->ensurePolished();
        const int box = h->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, h);
        const int margin = h->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, h);
        const int needed = box + h->fontMetrics().horizontalAdvance(QStringLiteral("选中")) + 2 * margin;
        EXPECT_GE(table(w, Image)->columnWidth(0), needed) << box << " " << margin;
        EXPECT_LE(table(w, Image)->columnWidth(0), needed + 40);
    }
    EXPECT_EQ(child<QTreeView>(w, "categoryTree")->width(), 120);
    EXPECT_EQ(cramped(w).join(QLatin1Char('\n')).toStdString(), "");
    shot(w, "zh-3-results");
    w->showPage(1);
    shot(w, "zh-2-kinds");

    w->showPage(0);
    click(w, "nextBtn");
    EXPECT_EQ(l.s.prompts.messages, QStringList{QStringLiteral("请先选择要恢复的分区！")});
    w->showPage(2);
    l.check(Image, 0);
    l.check(Image, 1);
    l.s.prompts.folder = l.vol.path() + QStringLiteral("/sub");
    l.s.save();
    ASSERT_EQ(l.s.prompts.messages.size(), 2);
    EXPECT_TRUE(l.s.prompts.messages.last().startsWith(QStringLiteral("已保存0个文件，共2个。\n以下文件保存失败：\n")))
        << l.s.prompts.messages.last().toStdString();
}

TEST(Language, QtsOwnButtonsAndDialogsFollowTheWindowsLanguage) {
    const QString qm = QLibraryInfo::location(QLibraryInfo::TranslationsPath) + QStringLiteral("/qtbase_zh_CN.qm");
    if (!QFile::exists(qm)) GTEST_SKIP() << "Qt's translations (qttranslations5-l10n) are not installed";
    {
        Language chinese("zh_CN");
        ASSERT_TRUE(chinese.ok);
        EXPECT_TRUE(AppLanguage::qtTranslated());
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        EXPECT_TRUE(hasChinese(box.button(QMessageBox::Ok)->text())) << box.button(QMessageBox::Ok)->text().toStdString();
        EXPECT_TRUE(hasChinese(box.button(QMessageBox::Cancel)->text()));
        EXPECT_TRUE(hasChinese(QCoreApplication::translate("QFileDialog", "Directory:")));
    }
    Language english("en_US");
    ASSERT_TRUE(english.ok);
    EXPECT_FALSE(AppLanguage::qtTranslated());
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text().remove(QLatin1Char('&')), QStringLiteral("OK"));
}

TEST(Language, ChineseLocalesKeepTheSourceTextsAndEveryOtherGetsEnglish) {
    for (const char *name : {"zh_CN", "zh_TW", "zh_HK", "zh_SG", "zh"})
        EXPECT_TRUE(AppLanguage::isChinese(QLocale(QString::fromLatin1(name)))) << name;
    for (const char *name : {"en_US", "en_GB", "de_DE", "ja_JP", "ko_KR", "C"})
        EXPECT_FALSE(AppLanguage::isChinese(QLocale(QString::fromLatin1(name)))) << name;
}

// ctest runs this under en_US.UTF-8 and again under zh_CN.UTF-8; run by
// hand it follows whatever locale the shell has.
TEST(Language, FollowsTheSystemLocale) {
    const QByteArray lc = qgetenv("LC_ALL").isEmpty() ? qgetenv("LANG") : qgetenv("LC_ALL");
    const bool chinese = qgetenv("LANGUAGE").isEmpty() ? lc.startsWith("zh") : qgetenv("LANGUAGE").startsWith("zh");
    ASSERT_TRUE(AppLanguage::install(QLocale::system()));
    {
        Session s{QStringList()};
        click(s.w(), "nextBtn");
        if (chinese) {
            EXPECT_EQ(text(s.w(), "nextBtn"), QStringLiteral("下一步"));
            EXPECT_EQ(s.prompts.messages, QStringList{QStringLiteral("请先选择要恢复的分区！")});
        } else {
            EXPECT_EQ(text(s.w(), "nextBtn"), QStringLiteral("Next"));
            EXPECT_EQ(chineseAmong(textsOf(s.w()) + s.prompts.messages), "");
        }
    }
    AppLanguage::install(QLocale(QStringLiteral("zh_CN")));
}

namespace {

struct Entry {
    QString context, source;
    bool numerus = false;
    bool finished = false;
    QStringList translations;
};

// The messages of a Qt Linguist file.
QList<Entry> readTs(const QString &path) {
    QList<Entry> entries;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << path.toStdString();
        return entries;
    }
    QXmlStreamReader x(&f);
    QString context;
    Entry e;
    while (!x.atEnd()) {
        x.readNext();
        if (x.isEndElement() && x.name() == QLatin1String("message")) entries << e;
        if (!x.isStartElement()) continue;
        if (x.name() == QLatin1String("name")) {
            context = x.readElementText();
        } else if (x.name() == QLatin1String("message")) {
            e = Entry();
            e.context = context;
            e.numerus = x.attributes().value(QLatin1String("numerus")) == QLatin1String("yes");
        } else if (x.name() == QLatin1String("source")) {
            e.source = x.readElementText();
        } else if (x.name() == QLatin1String("translation")) {
            e.finished = x.attributes().value(QLatin1String("type")).isEmpty();
            if (!e.numerus) e.translations << x.readElementText();
        } else if (x.name() == QLatin1String("numerusform")) {
            e.translations << x.readElementText();
        }
    }
    if (x.hasError()) ADD_FAILURE() << path.toStdString() << ": " << x.errorString().toStdString();
    return entries;
}

QStringList placeholders(const QString &s) {
    QStringList found;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("%(?:n|L?\\d+)")).globalMatch(s);
    while (it.hasNext()) found << it.next().captured();
    found.sort();
    return found;
}

const QString kTs = QStringLiteral(LUMAREK_SOURCE_DIR "/app/translations/lumarek-recovery_en.ts");

}  // namespace

TEST(Translation, EveryTextOfTheProgramHasAFinishedEnglishTranslation) {
    const QList<Entry> shipped = readTs(kTs);
    ASSERT_FALSE(shipped.isEmpty());

    // The texts of the sources as they are now: none without its English.
    QTemporaryDir work;
    const QString fresh = work.filePath(QStringLiteral("fresh.ts"));
    QProcess lupdate;
    lupdate.start(QStringLiteral(LUMAREK_LUPDATE), {QStringLiteral("-silent"), QStringLiteral("-no-obsolete"),
                                                    QStringLiteral(LUMAREK_SOURCE_DIR "/app"), QStringLiteral("-ts"), fresh});
    ASSERT_TRUE(lupdate.waitForFinished(60000)) << "lupdate did not run";
    ASSERT_EQ(lupdate.exitCode(), 0) << lupdate.readAllStandardError().toStdString();
    QSet<QString> translated;
    for (const Entry &e : shipped)
        if (e.finished) translated << e.context + QLatin1Char('\x1f') + e.source;
    const QList<Entry> needed = readTs(fresh);
    ASSERT_GT(needed.size(), 40);
    for (const Entry &e : needed)
        EXPECT_TRUE(translated.contains(e.context + QLatin1Char('\x1f') + e.source))
            << e.context.toStdString() << " \"" << e.source.toStdString()
            << "\" has no finished English translation in app/translations/ (lupdate, then fill it in)";

    // Each translation is English, keeps its source's placeholders, and is
    // what the program gets.
    Language english("en_US");
    ASSERT_TRUE(english.ok);
    for (const Entry &e : shipped) {
        const std::string where = e.context.toStdString() + " \"" + e.source.toStdString() + "\"";
        ASSERT_FALSE(e.translations.isEmpty()) << where;
        for (const QString &t : e.translations) {
            EXPECT_FALSE(t.isEmpty()) << where;
            EXPECT_FALSE(hasChinese(t)) << where;
            EXPECT_EQ(placeholders(t), placeholders(e.source)) << where << " -> " << t.toStdString();
        }
        const QString got = QCoreApplication::translate(e.context.toUtf8().constData(), e.source.toUtf8().constData(),
                                                        nullptr, e.numerus ? 2 : -1);
        QString expected = e.translations.last();
        if (e.numerus) expected.replace(QStringLiteral("%n"), QStringLiteral("2"));
        EXPECT_EQ(got, expected) << where;
    }
}

namespace {

// The string literals of a C++ source that hold Chinese and are not the
// text of a tr() or QT_TR_NOOP(), with their line numbers.
QStringList untranslatedChinese(const QString &code) {
    static const QRegularExpression trOpen(QStringLiteral("\\b(?:tr|QT_TR_NOOP)\\s*\\(\\s*$"));
    QStringList found;
    QString between;  // the code since the last literal, without comments
    bool chainTranslated = false;
    int line = 1;
    const int n = code.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = code.at(i);
        if (c == QLatin1Char('\n')) ++line;
        if (code.midRef(i, 2) == QLatin1String("//")) {
            while (i + 1 < n && code.at(i + 1) != QLatin1Char('\n')) ++i;
        } else if (code.midRef(i, 2) == QLatin1String("/*")) {
            for (i += 2; i + 1 < n && code.midRef(i, 2) != QLatin1String("*/"); ++i)
                if (code.at(i) == QLatin1Char('\n')) ++line;
            ++i;
        } else if (c == QLatin1Char('\'')) {
            for (++i; i < n && code.at(i) != QLatin1Char('\''); ++i)
                if (code.at(i) == QLatin1Char('\\')) ++i;
            between += QLatin1Char('x');
        } else if (c == QLatin1Char('"')) {
            QString literal;
            for (++i; i < n && code.at(i) != QLatin1Char('"'); ++i) {
                if (code.at(i) == QLatin1Char('\\')) literal += code.at(i++);
                literal += code.at(i);
            }
            const bool translated =
                between.contains(trOpen) || (between.trimmed().isEmpty() && chainTranslated);
            if (hasChinese(literal) && !translated) found << QStringLiteral("line %1: \"%2\"").arg(line).arg(literal);
            chainTranslated = translated;
            between.clear();
        } else {
            between += c;
        }
    }
    return found;
}

}  // namespace

TEST(Translation, NoChineseTextOfTheProgramBypassesTr) {
    // The checker itself, on what it must take and what it must catch.
    EXPECT_TRUE(untranslatedChinese(QStringLiteral("a(tr(\"中文\"), QT_TR_NOOP( \"中文\"));\n"
                                                   "b(tr(\"中文 %1\"\n   \"续\").arg(x)); // \"注释\"\n"
                                                   "/* QStringLiteral(\"注释\") */ c('\"', \"plain\");"))
                    .isEmpty());
    EXPECT_EQ(untranslatedChinese(QStringLiteral("x(tr(\"a\"), QStringLiteral(\"中文\"));\ny(\"b\" \"中\");")),
              (QStringList{QStringLiteral("line 1: \"中文\""), QStringLiteral("line 2: \"中\"")}));

    QDirIterator it(QStringLiteral(LUMAREK_SOURCE_DIR "/app"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                    QDir::Files);
    int files = 0;
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        ++files;
        EXPECT_EQ(untranslatedChinese(QString::fromUtf8(f.readAll())).join(QLatin1Char('\n')).toStdString(), "")
            << it.filePath().toStdString() << ": a Chinese text the window shows goes through tr()";
    }
    EXPECT_GT(files, 10);

    // Forms: a text marked not to be translated is no text shown to a person.
    QDirIterator forms(QStringLiteral(LUMAREK_SOURCE_DIR "/app"), {QStringLiteral("*.ui")}, QDir::Files);
    while (forms.hasNext()) {
        QFile f(forms.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QXmlStreamReader x(&f);
        while (!x.atEnd()) {
            x.readNext();
            if (x.isStartElement() && x.name() == QLatin1String("string") &&
                x.attributes().value(QLatin1String("notr")) == QLatin1String("true")) {
                const QString s = x.readElementText();
                EXPECT_FALSE(hasChinese(s)) << forms.filePath().toStdString() << ": " << s.toStdString();
            }
        }
    }
}

#include "core/error_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/engine_state.h"
#include "core/sjis.h"
#include "platform/headless/headless_platform.h"
#include "core/engine_config.h"
#include "support/temp_folder.h"

namespace {

// Records spawned argv instead of starting anything.
class recording_process final : public Process {
 public:
  std::vector<std::vector<std::string>> spawned;
  std::string program_path_host() const override { return "/opt/game/zarvik"; }
  std::vector<std::string> arguments() const override { return {}; }
  int claim_single_instance(const std::string&) override { return 0; }
  void release_single_instance() override {}
  bool take_raise_request() override { return false; }
  bool spawn(const std::vector<std::string>& argv) override {
    spawned.push_back(argv);
    return true;
  }
  std::string user_data_folder_host() const override { return "/tmp/"; }
  std::string documents_folder_host() const override { return "/tmp/"; }
  std::string temp_folder_host() const override { return "/tmp/"; }
};

struct report_fixture : ::testing::Test {
  temp_folder folder;
  HeadlessPlatform hp{folder.path()};
  recording_process process;
  report_fixture() {
    hp.services.process = &process;
    reset();
  }
  ~report_fixture() override { reset(); }
  // Only the first report of a run shows the dialog, and the place, editor
  // and debug switch belong to one run: each case is a new run.
  static void reset() {
    error_dialog_shown = 0;
    quit_flag = 0;
    quit_by_error = 0;
    current_script_place = nullptr;
    error_editor_program.clear();
    engine_config.debug_switch = 0;
  }
};

std::string sj(const char* utf8) { return utf8_to_sjis(utf8); }

std::optional<script_place> running_task() { return script_place{"script\\main.txt", 42}; }

}  // namespace

TEST(ErrorText, BuiltInTextsBeatTheTableAndUnknownCodesFallBack) {
  error_table.codes = {100010, 123456, 104060, 123456};
  error_table.texts = {"table 100010", "first", "table 104060", "second"};
  EXPECT_EQ(error_text_for_code(100010), sj("メモリ不足です。"));
  EXPECT_EQ(error_text_for_code(104060), sj("[%s]ファイルが\n存在しません。"));
  EXPECT_EQ(error_text_for_code(123456), "first");
  const std::string fallback = sj("[内部エラー]\n\nエラー文字列の指定ミスです。\nシステム開発者までお問い合わせください。");
  EXPECT_EQ(error_text_for_code(999999), fallback);
  EXPECT_EQ(error_text_for_code(-1), fallback);

  // All fifteen work with no table at all.
  error_table = {};
  const int builtin[] = {100000, 100010, 104010, 104030, 104060, 104100, 104110, 104111,
                         104120, 104130, 104140, 104150, 106010, 900040, 901040};
  for (int code : builtin) EXPECT_NE(error_text_for_code(code), fallback) << code;
  EXPECT_EQ(error_text_for_code(104130), sj("パックファイルを同時に扱えるのは %d 個までです。"));
  EXPECT_EQ(error_text_for_code(901040), sj("[内部エラー]\n\nパックファイル[%s]が\nオープンできませんでした。"));

  // A damaged table with arrays of different lengths is read only where both exist.
  error_table.codes = {1, 2};
  error_table.texts = {"one"};
  EXPECT_EQ(error_text_for_code(1), "one");
  EXPECT_EQ(error_text_for_code(2), fallback);
}

TEST(FormatChecked, HostileFormatsNeverReadMissingArguments) {
  using A = std::vector<report_arg>;
  EXPECT_EQ(format_checked("%s and %d", {}), "%s and %d");
  EXPECT_EQ(format_checked("[%s]", A{int64_t{5}}), "[%s]");           // wrong kind
  EXPECT_EQ(format_checked("%d/%s", A{std::string("x"), std::string("y")}), "%d/y");
  EXPECT_EQ(format_checked("%f %d", A{int64_t{1}, 2.5}), "%f %d");
  EXPECT_EQ(format_checked("%s%s%s%s%s%s%s%s", A{std::string("a")}), "a%s%s%s%s%s%s%s");
  EXPECT_EQ(format_checked("%n%d", A{int64_t{3}}), "%n3");  // %n never writes
  EXPECT_EQ(format_checked("100%", {}), "100%");
  EXPECT_EQ(format_checked("%5", {}), "%5");
  EXPECT_EQ(format_checked("%y%%", {}), "%y%");
  EXPECT_EQ(format_checked("%*d", A{int64_t{4}}), "%*d");
  EXPECT_EQ(format_checked("%*d|", A{int64_t{4}, int64_t{7}}), "   7|");
  EXPECT_EQ(format_checked("%-*d|", A{int64_t{-3}, int64_t{7}}), "7  |");
  EXPECT_EQ(format_checked("%.*s|", A{std::string("x"), std::string("abc")}), "%.*s|");
  // Huge widths are cut down rather than filling memory.
  EXPECT_EQ(format_checked("%999999999999d", A{int64_t{1}}).size(), 4096u);
  EXPECT_LE(format_checked("%.99999999f", A{1e308}).size(), 4096u + 400u);

  EXPECT_EQ(format_checked("%05d|%-4d|%+d|%x|%X|%o|%u", A{int64_t{42}, int64_t{7}, int64_t{3}, int64_t{255},
                                                          int64_t{255}, int64_t{8}, int64_t{9}}),
            "00042|7   |+3|ff|FF|10|9");
  EXPECT_EQ(format_checked("%#d %#x %#o", A{int64_t{5}, int64_t{255}, int64_t{8}}), "5 0xff 010");
  EXPECT_EQ(format_checked("%x %u", A{int64_t{-1}, int64_t{-1}}), "ffffffff 4294967295");
  EXPECT_EQ(format_checked("%llx %d", A{int64_t{-1}, int64_t{1} << 40}), "ffffffffffffffff 1099511627776");
  EXPECT_EQ(format_checked("%hd %hhu", A{int64_t{70000}, int64_t{257}}), "4464 1");
  EXPECT_EQ(format_checked("%c%3c", A{int64_t{'A'}, int64_t{'b'}}), "A  b");
  EXPECT_EQ(format_checked("%5.2f|%e|%g", A{3.14159, 1000.0, 0.5}), " 3.14|1.000000e+03|0.5");
  EXPECT_EQ(format_checked("[%5s][%-5s][%.2s]", A{std::string("ab"), std::string("cd"), std::string("xyz")}),
            "[   ab][cd   ][xy]");
  // A precision never leaves half a double-byte character behind.
  EXPECT_EQ(format_checked("%.3s", A{std::string("\x82\xA0\x82\xA2")}), "\x82\xA0");
  // A trail byte that looks like '%' is part of its character... and real '%' after Shift-JIS text works.
  EXPECT_EQ(format_checked(sj("残り%d個"), A{int64_t{3}}), sj("残り3個"));
  // Arguments are typed: a text argument holding '%s' is never a format.
  EXPECT_EQ(format_checked("%s", A{std::string("%s%n")}), "%s%n");
}

// Every flag set, width and precision on every conversion prints a value,
// never a broken specification: no '%' is left and the width is honoured.
TEST(FormatChecked, EveryFlagWidthAndPrecisionIsWellFormed) {
  using A = std::vector<report_arg>;
  const char flag_chars[] = {'-', '+', ' ', '#', '0'};
  for (const char* convs : {"diuoxXpc", "fFeEgGaA", "s"}) {
    for (const char* c = convs; *c; ++c) {
      for (int mask = 0; mask < 32; ++mask) {
        std::string flags;
        for (int b = 0; b < 5; ++b)
          if (mask & (1 << b)) flags += flag_chars[b];
        for (const char* width : {"", "6", "12"}) {
          for (const char* precision : {"", ".0", ".3"}) {
            for (const char* length : {"", "h", "ll"}) {
              if (*c == 's' || *c == 'c' || convs[0] == 'f') {
                if (*length) continue;
              }
              std::string spec = "%" + flags + width + precision + length + *c;
              report_arg a = *c == 's' ? report_arg{std::string("ab")}
                             : convs[0] == 'f' ? report_arg{2.5}
                                               : report_arg{int64_t{255}};
              std::string out = format_checked("<" + spec + ">", A{a});
              SCOPED_TRACE(spec);
              EXPECT_EQ(out.find('%'), std::string::npos) << out;
              EXPECT_GE(out.size(), 2u + std::size_t(std::atoi(width)));
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(format_checked("[%6p][%-8p][%p][%+ p]", A{int64_t{255}, int64_t{16}, int64_t{0x1234}, int64_t{1}}),
            "[  0xff][0x10    ][0x1234][0x1]");
  EXPECT_EQ(format_checked("%#u|%+u|% x|%#i", A{int64_t{7}, int64_t{7}, int64_t{255}, int64_t{-3}}), "7|7|ff|-3");
}

TEST_F(report_fixture, FirstReportShowsTheDialogLaterOnesOnlySetQuit) {
  error_table.codes = {101010};
  error_table.texts = {"bad [%s] %d"};
  report_error_fmt(101010, 1, "arg", 7);
  auto boxes = hp.ui.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "ZARVIK Debug Info.");
  EXPECT_EQ(boxes[0].text, "bad [arg] 7");
  EXPECT_EQ(boxes[0].flags, 0u);  // no Edit button without the debug switch
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(error_dialog_shown, 1);

  report_error(101010, 0);
  EXPECT_EQ(quit_flag, 0);
  report_error_at_line(100010, 1);
  EXPECT_EQ(quit_flag, 1);
  report_error_at_line_fmt(101010, 0, 1.5);
  EXPECT_EQ(quit_flag, 0);
  show_error_dialog("direct");
  EXPECT_EQ(hp.ui.boxes().size(), 1u);
  EXPECT_EQ(hp.ui.calls(), (std::vector<std::string>{"error_dialog"}));
}

TEST_F(report_fixture, HostileTableTextThroughAReport) {
  error_table.codes = {102000};
  error_table.texts = {"%s %s %s %d %f %n %p %999999999s"};
  report_error_fmt(102000, 1, 12);
  ASSERT_EQ(hp.ui.boxes().size(), 1u);
  EXPECT_EQ(hp.ui.boxes()[0].text, "%s %s %s %d %f %n %p %999999999s");
  // report_error takes the text as it stands: no formatting at all.
  error_dialog_shown = 0;
  error_table.texts = {"100%% [%s]"};
  report_error(102000, 1);
  EXPECT_EQ(hp.ui.boxes()[1].text, "100%% [%s]");
}

TEST_F(report_fixture, PlacePrefixAndEditorTarget) {
  error_table.codes = {108010};
  error_table.texts = {"label [%s]"};
  // No running task: the text alone, no editor target.
  report_error_at_line_fmt(108010, 1, "L1");
  EXPECT_EQ(hp.ui.boxes()[0].text, "label [L1]");
  EXPECT_TRUE(error_editor_target.source_file.empty());
  EXPECT_EQ(error_editor_target.line, 1);

  current_script_place = running_task;
  error_dialog_shown = 0;
  report_error_at_line_fmt(108010, 1, "L2");
  EXPECT_EQ(hp.ui.boxes()[1].text,
            sj("[対象ファイル]\nscript\\main.txt\n\n[場所]\n42 行目\n\n[内容]\n\n") + "label [L2]");
  EXPECT_EQ(error_editor_target.source_file, "script\\main.txt");
  EXPECT_EQ(error_editor_target.line, 42);

  // The plain reports take no prefix even while a task runs.
  error_dialog_shown = 0;
  report_error_fmt(108010, 1, "L3");
  EXPECT_EQ(hp.ui.boxes()[2].text, "label [L3]");

  // A file name holding '%' is an argument, never a format.
  current_script_place = [] { return std::optional<script_place>(script_place{"%s%n.txt", 3}); };
  EXPECT_EQ(format_error_with_place("x"), sj("[対象ファイル]\n%s%n.txt\n\n[場所]\n3 行目\n\n[内容]\n\n") + "x");
}

TEST_F(report_fixture, EditButtonFollowsDebugSwitchAndSourceFile) {
  error_editor_program = "/usr/bin/sakura.exe";
  engine_config.debug_switch = 1;
  report_error_at_line(100010, 1);  // no running task: Edit disabled
  EXPECT_EQ(hp.ui.boxes()[0].flags, 0u);

  current_script_place = running_task;
  error_dialog_shown = 0;
  hp.ui.queue_reply(1);  // Edit, then (no more replies) Close
  report_error_at_line(100010, 1);
  auto boxes = hp.ui.boxes();
  ASSERT_EQ(boxes.size(), 3u);  // the dialog stays open after Edit
  EXPECT_EQ(boxes[1].flags, 1u);
  EXPECT_EQ(boxes[1].answer, 1);
  EXPECT_EQ(boxes[2].answer, 0);
  ASSERT_EQ(process.spawned.size(), 1u);
  const std::string path = hp.files->host_path("script\\main.txt");
  EXPECT_EQ(process.spawned[0], (std::vector<std::string>{"/usr/bin/sakura.exe", path, "-Y=42"}));

  // Debug switch off: no Edit button even with a source file.
  engine_config.debug_switch = 0;
  error_dialog_shown = 0;
  hp.ui.queue_reply(1);
  report_error_at_line(100010, 1);
  EXPECT_EQ(hp.ui.boxes()[3].flags, 0u);
  EXPECT_EQ(process.spawned.size(), 1u);
}

TEST_F(report_fixture, EditorWithBlanksInItsCommandAndNoEditor) {
  error_editor_target = {"a b.txt", 9};
  error_editor_program = "  code   --reuse-window ";
  EXPECT_EQ(launch_error_editor(), 0);
  const std::string path = hp.files->host_path("a b.txt");
  EXPECT_EQ(process.spawned.back(), (std::vector<std::string>{"code", "--reuse-window", "-g", path + ":9"}));
  error_editor_program = "";
  setenv("ZARVIK_EDITOR", "", 1);
  unsetenv("VISUAL");
  EXPECT_EQ(launch_error_editor(), -1);
  setenv("VISUAL", "/usr/bin/gedit", 1);
  EXPECT_EQ(launch_error_editor(), 0);
  EXPECT_EQ(process.spawned.back(), (std::vector<std::string>{"/usr/bin/gedit", "+9", path}));
  error_editor_target = {};
  EXPECT_EQ(launch_error_editor(), -1);
}

TEST(EditorTable, EveryRowGivesItsParametersAndArguments) {
  struct row {
    const char* program;
    const char* text;
    std::vector<std::string> argv;
  };
  const std::string p = "C:\\g\\s.txt";
  const row rows[] = {
      {"apsaly.exe", " /j12 C:\\g\\s.txt", {"/j12", p}},
      {"EmEditor.exe", " \"C:\\g\\s.txt\" /l 12", {p, "/l", "12"}},
      {"Ginnie.exe", " \"C:\\g\\s.txt\" /r12", {p, "/r12"}},
      {"GinnieFE.exe", " \"C:\\g\\s.txt\" /r12", {p, "/r12"}},
      {"Jcref.exe", " \"C:\\g\\s.txt\" /r12", {p, "/r12"}},
      {"JmEdit2.exe", " \"C:\\g\\s.txt\"/12", {p + "/12"}},
      {"K2Editor.exe", " C:\\g\\s.txt /j12", {p, "/j12"}},
      {"MIW.exe", " \"C:\\g\\s.txt+12\"", {p + "+12"}},
      {"oseditor2.exe", " /j12 C:\\g\\s.txt", {"/j12", p}},
      {"otbedit.exe", " C:\\g\\s.txt /r12", {p, "/r12"}},
      {"QXW32.exe", " -J12 \"C:\\g\\s.txt\"", {"-J12", p}},
      {"tepa.exe", " /j12 \"C:\\g\\s.txt\"", {"/j12", p}},
      {"TeraPad.exe", " /jl=12 C:\\g\\s.txt", {"/jl=12", p}},
      {"whinny.exe", " \"C:\\g\\s.txt/12\"", {p + "/12"}},
      {"WZEDITOR.exe", " C:\\g\\s.txt /j12", {p, "/j12"}},
      {"sakura.exe", " \"C:\\g\\s.txt\" -Y=12", {p, "-Y=12"}},
      {"hidemaru.exe", " /j12 \"C:\\g\\s.txt\"", {"/j12", p}},
      {"notepad.exe", " C:\\g\\s.txt", {p}},
      {"gedit", " +12 C:\\g\\s.txt", {"+12", p}},
      {"vim", " +12 C:\\g\\s.txt", {"+12", p}},
      {"gvim", " +12 C:\\g\\s.txt", {"+12", p}},
      {"nvim", " +12 C:\\g\\s.txt", {"+12", p}},
      {"emacs", " +12 C:\\g\\s.txt", {"+12", p}},
      {"kate", " -l 12 C:\\g\\s.txt", {"-l", "12", p}},
      {"code", " -g C:\\g\\s.txt:12", {"-g", p + ":12"}},
  };
  for (const row& r : rows) {
    EXPECT_EQ(editor_parameter_text(r.program, p, 12), r.text) << r.program;
    EXPECT_EQ(editor_arguments(r.program, p, 12), r.argv) << r.program;
  }
  // Names compare case-insensitively after the last separator, with or without ".exe".
  EXPECT_EQ(editor_parameter_text("C:\\Program Files\\SAKURA.EXE", p, 1), " \"C:\\g\\s.txt\" -Y=1");
  EXPECT_EQ(editor_parameter_text("/usr/local/bin/Hidemaru", p, 1), " /j1 \"C:\\g\\s.txt\"");
  EXPECT_EQ(editor_parameter_text("/usr/bin/sakura.exe.bak", p, 1), " C:\\g\\s.txt");
  // A blank or a '%' in the path stays inside its one argument.
  EXPECT_EQ(editor_arguments("tepa.exe", "/a b/%d.txt", 3), (std::vector<std::string>{"/j3", "/a b/%d.txt"}));
}

TEST_F(report_fixture, MessageBoxIsCutAndSystemModal) {
  show_message_box("", sj("ＣＧサイズが大きすぎます。X=%d, Y=%d"), 9000, 10);
  show_message_box("cap", "%s", std::string(3000, 'x'));
  show_message_box("cap", "%s", std::string(1022, 'y') + "\x82\xA0");  // would end on half a character
  auto boxes = hp.ui.boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, sj("ＣＧサイズが大きすぎます。X=9000, Y=10"));
  EXPECT_EQ(boxes[0].flags, static_cast<uint32_t>(mb_system_modal));
  EXPECT_EQ(boxes[1].caption, "cap");
  EXPECT_EQ(boxes[1].text.size(), 1023u);
  EXPECT_EQ(boxes[2].text, std::string(1022, 'y'));
  EXPECT_EQ(error_dialog_shown, 0);  // message boxes are not the error dialog
}

TEST_F(report_fixture, LicenceNoticeUnderItsTitleAndLongTextsCut) {
  error_dialog_title = "License Information";
  report_error(100000, 1);
  auto box = hp.ui.boxes().at(0);
  EXPECT_EQ(box.caption, "License Information");
  EXPECT_NE(box.text.find("libpng"), std::string::npos);
  EXPECT_NE(box.text.find("zlib 1.2.3"), std::string::npos);
  EXPECT_NE(box.text.find("Ogg Vorbis"), std::string::npos);

  error_dialog_shown = 0;
  error_table.codes = {100001};
  error_table.texts = {"%s"};
  report_error_fmt(100001, 1, std::string(20000, 'z'));
  EXPECT_EQ(hp.ui.boxes().at(1).text.size(), error_message_max);
}

TEST(ErrorReportWithoutPlatform, GoesToStandardError) {
  // Before a platform exists (or in tools) a report must not crash.
  report_error(100010, 1);
  EXPECT_EQ(quit_flag, 1);
  EXPECT_EQ(error_dialog_shown, 1);
  show_message_box("c", "t");
}

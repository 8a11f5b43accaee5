// Per-kind accessors: clamping and snapping, text copies cut on character
// boundaries, list bookkeeping, label fitting, hex and syntax views, and the
// neutral answers for ids of another kind.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"
#include "qv_test_support.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace qvgui;

namespace {

struct GuiKinds : GuiTest {
    int win = -1;
    void SetUp() override {
        GuiTest::SetUp();
        win = n_gui_add_window(ctx.get(), "form", 0, 0, 600, 400);
    }
    N_GUI_CTX *c() { return ctx.get(); }
    template <class T> T *data(int id) { return static_cast<T *>(n_gui_get_widget(c(), id)->data); }
};

/* ---- slider ---- */

TEST_F(GuiKinds, SliderValuesAreClampedAndSnapped) {
    const int s = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 10, 0, 0, 0, 200, 20);
    n_gui_slider_set_step(c(), s, 3);
    struct Case {
        double given, stored;
    } cases[] = {{8.4, 9}, {11, 10}, {-1, 0}, {4.5, 6}, {1.4, 0}, {10, 9}, {9.6, 9}};
    for (const Case &k : cases) {
        n_gui_slider_set_value(c(), s, k.given);
        EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), s), k.stored) << k.given;
    }
    n_gui_slider_set_step(c(), s, 0);
    n_gui_slider_set_value(c(), s, -5);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), s), 0);
    n_gui_slider_set_value(c(), s, 7.3);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), s), 7.3);
    n_gui_slider_set_step(c(), s, 2);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), s), 8) << "a new step snaps the value";
    n_gui_slider_set_range(c(), s, 0, 5);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), s), 5) << "snapped to 8, then clamped to the new maximum";
    n_gui_slider_set_range(c(), s, 3, 1);  // not refused
    EXPECT_DOUBLE_EQ(data<N_GUI_SLIDER_DATA>(s)->min, 3);
    const int l = n_gui_add_label(c(), win, "x", 0, 0, 0, 1, 1);
    n_gui_slider_set_value(c(), l, 5);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(c(), l), 0.0) << "another kind answers neutrally";
    EXPECT_DOUBLE_EQ(n_gui_slider_get_value(nullptr, s), 0.0);
}

TEST_F(GuiKinds, SliderKeyStepFallsBack) {
    const int s = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 100, 0, 0, 0, 200, 20);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_key_step(c(), s), 5);
    n_gui_slider_set_step(c(), s, 2);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_key_step(c(), s), 2);
    n_gui_slider_set_key_step(c(), s, 7);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_key_step(c(), s), 7);
    n_gui_slider_set_key_step(c(), s, -3);
    EXPECT_DOUBLE_EQ(data<N_GUI_SLIDER_DATA>(s)->key_step, 0);
    const int z = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 0, 0, 0, 0, 200, 20);
    EXPECT_DOUBLE_EQ(n_gui_slider_get_key_step(c(), z), 1);
    double d = 42;
    EXPECT_EQ(n_gui_slider_get_default(c(), s, &d), 0);
    EXPECT_DOUBLE_EQ(d, 42);
    n_gui_slider_set_default(c(), s, 30);
    EXPECT_EQ(n_gui_slider_get_default(c(), s, &d), 1);
    EXPECT_DOUBLE_EQ(d, 30);
    EXPECT_EQ(n_gui_slider_get_default(c(), s, nullptr), 1);
}

TEST_F(GuiKinds, SliderHandleAndValueWidth) {
    const int s = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 10, 5, 0, 0, 200, 20);
    float pos = -1, r = -1;
    ASSERT_EQ(n_gui_slider_handle_pos(c(), s, &pos, &r), 1);
    EXPECT_FLOAT_EQ(r, 8) << "20 / 2 - 2";
    EXPECT_FLOAT_EQ(pos, 8 + (200 - 16) * 0.5f);
    const int v = n_gui_add_vslider(c(), win, 0, nullptr, nullptr, 0, 10, 10, 0, 0, 10, 100);
    n_gui_slider_handle_pos(c(), v, &pos, &r);
    EXPECT_FLOAT_EQ(r, 4) << "at least the minimum radius";
    EXPECT_FLOAT_EQ(pos, 100 - (4 + 92)) << "a vertical slider counts from the bottom";
    const int tiny = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 10, 3, 0, 0, 6, 20);
    n_gui_slider_handle_pos(c(), tiny, &pos, nullptr);
    EXPECT_FLOAT_EQ(pos, 3) << "no travel: the middle";
    const int flat = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 4, 4, 4, 0, 0, 100, 20);
    n_gui_slider_handle_pos(c(), flat, &pos, nullptr);
    EXPECT_FLOAT_EQ(pos, 8) << "min = max: the start";
    EXPECT_EQ(n_gui_slider_handle_pos(c(), 999, &pos, &r), 0);

    // "10.0" is the wider text: 4 glyphs of 8 + the label offset 8
    EXPECT_FLOAT_EQ(n_gui_slider_value_width(c(), s), 32 + 8);
    const int pct = n_gui_add_slider(c(), win, N_GUI_SLIDER_PERCENT, nullptr, nullptr, 0, 0, 0, 0, 0, 100, 20);
    EXPECT_FLOAT_EQ(n_gui_slider_value_width(c(), pct), 32 + 8) << "\"100%\"";
    n_gui_slider_set_value_format(c(), s, "%.3f dB");
    EXPECT_FLOAT_EQ(n_gui_slider_value_width(c(), s), 9 * 8 + 8) << "\"10.000 dB\"";
    n_gui_slider_set_value_visible(c(), s, 0);
    EXPECT_FLOAT_EQ(n_gui_slider_value_width(c(), s), 0);
}

// The value format goes to snprintf with one double: anything else in it
// would read or write through that double.
TEST_F(GuiKinds, SliderValueFormatTakesOneNumberOnly) {
    const int s = n_gui_add_slider(c(), win, 0, nullptr, nullptr, 0, 10, 2.5, 0, 0, 100, 20);
    struct Case {
        const char *format, *stored;
    } cases[] = {
        {"%.1f px", "%.1f px"}, {"%g%%", "%g%%"}, {"%+08.2e", "%+08.2e"}, {"plain", "plain"},
        {"%s", ""}, {"%n", ""}, {"%d", ""}, {"%f %f", ""}, {"100%", ""}, {nullptr, ""},
        {"%.1f and a very long tail that is cut", "%.1f and a very long tail that "},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.format ? k.format : "(null)");
        n_gui_slider_set_value_format(c(), s, k.format);
        EXPECT_STREQ(data<N_GUI_SLIDER_DATA>(s)->value_format, k.stored);
        char out[N_GUI_SLIDER_FORMAT_MAX];
        _slider_value_text(data<N_GUI_SLIDER_DATA>(s), out, 2.5);  // never reads past the double
        EXPECT_TRUE(strlen(out) < sizeof out);
    }
}

/* ---- text area ---- */

TEST_F(GuiKinds, TextAreaTextIsCopiedWithoutCarriageReturnsAndCutOnACharacter) {
    const int t = n_gui_add_textarea(c(), win, 1, 0, nullptr, nullptr, 0, 0, 200, 80);
    n_gui_textarea_set_text(c(), t, "a\r\nb");
    EXPECT_STREQ(n_gui_textarea_get_text(c(), t), "a\nb");
    EXPECT_EQ(n_gui_textarea_get_text_length(c(), t), 3u);
    EXPECT_EQ(data<N_GUI_TEXTAREA_DATA>(t)->cursor, 3u);
    n_gui_textarea_set_text(c(), t, nullptr);
    EXPECT_STREQ(n_gui_textarea_get_text(c(), t), "");
    const int small = n_gui_add_textarea(c(), win, 0, 5, nullptr, nullptr, 0, 0, 200, 20);
    n_gui_textarea_set_text(c(), small, "abcd\xc3\xa9");  // 6 bytes into 5
    EXPECT_STREQ(n_gui_textarea_get_text(c(), small), "abcd");
    n_gui_textarea_set_text(c(), small, "\xf0\x9f\x91\x8dxyz");
    EXPECT_STREQ(n_gui_textarea_get_text(c(), small), "\xf0\x9f\x91\x8dx");
    const int l = n_gui_add_label(c(), win, "x", 0, 0, 0, 1, 1);
    EXPECT_STREQ(n_gui_textarea_get_text(c(), l), "");
    EXPECT_EQ(n_gui_textarea_get_text_length(c(), l), 0u);
}

// Replacing the text collapses the selection at the new end: an old
// selection reaching past the new text would make a later delete move
// memory with an underflowed length.
TEST_F(GuiKinds, TextAreaSelectionNeverReachesPastTheText) {
    const int t = n_gui_add_textarea(c(), win, 0, 0, nullptr, nullptr, 0, 0, 200, 20);
    n_gui_textarea_set_text(c(), t, "a long line of text");
    n_gui_textarea_set_selection(c(), t, 2, 18);
    EXPECT_TRUE(n_gui_textarea_has_selection(c(), t));
    n_gui_textarea_set_text(c(), t, "ab");
    auto *td = data<N_GUI_TEXTAREA_DATA>(t);
    EXPECT_EQ(td->sel_start, 2u);
    EXPECT_EQ(td->sel_end, 2u);
    EXPECT_EQ(td->cursor, 2u);
    EXPECT_FALSE(n_gui_textarea_has_selection(c(), t));
    EXPECT_TRUE(qvtest::all_zero(td->text + 2, 17)) << "the old text's tail is wiped";

    struct Case {
        size_t start, end, anchor, caret;
    } cases[] = {{0, 2, 0, 2}, {5, 1, 2, 1}, {100, 200, 2, 2}};
    for (const Case &k : cases) {
        n_gui_textarea_set_selection(c(), t, k.start, k.end);
        EXPECT_EQ(td->sel_start, k.anchor);
        EXPECT_EQ(td->sel_end, k.caret);
        EXPECT_EQ(td->cursor, k.caret);
    }
    n_gui_textarea_set_text(c(), t, "\xc3\xa9t\xc3\xa9");  // é t é
    n_gui_textarea_set_selection(c(), t, 1, 4);
    EXPECT_EQ(td->sel_start, 0u) << "an offset inside a character moves to its start";
    EXPECT_EQ(td->sel_end, 3u);
}

TEST_F(GuiKinds, TextAreaScrollsToTheBottomAndToAnOffset) {
    // 8-pixel glyphs, padding 4: a 48-wide area wraps at 40 px, five characters
    const int t = n_gui_add_textarea(c(), win, 1, 0, nullptr, nullptr, 0, 0, 60, 40);
    n_gui_textarea_set_text(c(), t, "l1\nl2\nl3\nl4\nl5\nl6\nl7\nl8\nl9\nl10");
    auto *td = data<N_GUI_TEXTAREA_DATA>(t);
    n_gui_textarea_scroll_to_bottom(c(), t);
    EXPECT_EQ(td->scroll_y, 10 * 8 - 32);
    td->user_scrolled = 1;
    n_gui_textarea_scroll_to_offset(c(), t, 0);
    EXPECT_EQ(td->scroll_y, 0);
    EXPECT_EQ(td->user_scrolled, 0);
    n_gui_textarea_scroll_to_offset(c(), t, 15);  // line 5 (y 40): 40 - 16 + 4
    EXPECT_EQ(td->scroll_y, 28);
    n_gui_textarea_scroll_to_offset(c(), t, 1000);  // past the end: as far as the content goes
    EXPECT_EQ(td->scroll_y, 48);
    const int one = n_gui_add_textarea(c(), win, 0, 0, nullptr, nullptr, 0, 0, 60, 20);
    n_gui_textarea_set_text(c(), one, "one line");
    n_gui_textarea_scroll_to_bottom(c(), one);
    EXPECT_EQ(data<N_GUI_TEXTAREA_DATA>(one)->scroll_y, 0) << "single-line areas do not scroll vertically";
}

TEST_F(GuiKinds, TextAreaLayoutStepsWrapAndHeight) {
    const int t = n_gui_add_textarea(c(), win, 1, 0, nullptr, nullptr, 0, 0, 48, 40);
    n_gui_textarea_set_text(c(), t, "abcdefg\nhi");
    auto *td = data<N_GUI_TEXTAREA_DATA>(t);
    // wrap width 40: "abcde" fills a line, "fg" wraps, then "hi"
    EXPECT_FLOAT_EQ(_textarea_content_height(td, font.get(), 48, 4), 3 * 8);
    N_GUI_TEXT_STEP st = _textarea_step(td->text, td->length, 5, font.get(), 40, 40, 0, 0);
    EXPECT_EQ(st.bytes, 1u);
    EXPECT_FLOAT_EQ(st.width, 8);
    EXPECT_EQ(st.wraps, 1);
    st = _textarea_step(td->text, td->length, 0, font.get(), 0, 4, 0, 0);
    EXPECT_EQ(st.wraps, 0) << "a character never wraps away from an empty line";
    st = _textarea_step(td->text, td->length, 7, font.get(), 56, 40, 0, 0);
    EXPECT_EQ(st.newline, 1);
    EXPECT_EQ(st.bytes, 1u);
    const char emoji[] = "\xf0\x9f\x91\x8d";
    st = _textarea_step(emoji, 4, 0, font.get(), 0, 40, 0, 1);
    EXPECT_EQ(st.bytes, 4u);
    st = _textarea_step(emoji, 2, 0, font.get(), 0, 40, 0, 0);
    EXPECT_EQ(st.bytes, 2u) << "a character cut by the end of the text ends there";
    n_gui_textarea_set_text(c(), t, "");
    EXPECT_FLOAT_EQ(_textarea_content_height(td, font.get(), 48, 4), 0);
}

/* ---- check box, scrollbar ---- */

TEST_F(GuiKinds, CheckBoxAndScrollbar) {
    const int cb = n_gui_add_checkbox(c(), win, "Keep", 0, nullptr, nullptr, 0, 0, 100, 20);
    n_gui_checkbox_set_checked(c(), cb, 42);
    EXPECT_EQ(n_gui_checkbox_is_checked(c(), cb), 1);
    n_gui_checkbox_set_label(c(), cb, "Keep me signed in");
    n_gui_checkbox_set_label(c(), cb, nullptr);
    EXPECT_STREQ(n_gui_checkbox_get_label(c(), cb), "Keep me signed in");
    qvtest::LogCapture log;
    EXPECT_EQ(n_gui_checkbox_get_label(nullptr, cb), nullptr);
    EXPECT_TRUE(log.contains("if( !(ctx) ) assert")) << log.text();

    const int sb = n_gui_add_scrollbar(c(), win, N_GUI_VERTICAL, 0, nullptr, nullptr, 100, 40, 0, 0, 12, 100);
    n_gui_scrollbar_set_pos(c(), sb, 75);
    EXPECT_DOUBLE_EQ(n_gui_scrollbar_get_pos(c(), sb), 60);
    n_gui_scrollbar_set_pos(c(), sb, -3);
    EXPECT_DOUBLE_EQ(n_gui_scrollbar_get_pos(c(), sb), 0);
    n_gui_scrollbar_set_pos(c(), sb, 50);
    n_gui_scrollbar_set_sizes(c(), sb, 0, -2);
    auto *sd = data<N_GUI_SCROLLBAR_DATA>(sb);
    EXPECT_DOUBLE_EQ(sd->content_size, 1);
    EXPECT_DOUBLE_EQ(sd->view_size, 1);
    EXPECT_DOUBLE_EQ(sd->position, 0);
    n_gui_scrollbar_set_wheel_step(c(), sb, -1);
    EXPECT_DOUBLE_EQ(sd->wheel_step, 0);
    n_gui_scrollbar_set_wheel_step(c(), sb, 12.5);
    EXPECT_DOUBLE_EQ(sd->wheel_step, 12.5);
}

/* ---- lists ---- */

TEST_F(GuiKinds, ListBoxItemsSelectionAndScroll) {
    const int lb = n_gui_add_listbox(c(), win, N_GUI_SELECT_SINGLE, nullptr, nullptr, 0, 0, 100, 60);
    for (int i = 0; i < 10; i++) EXPECT_EQ(n_gui_listbox_add_item(c(), lb, ("item " + std::to_string(i)).c_str()), i);
    EXPECT_EQ(n_gui_listbox_add_item(c(), lb, nullptr), 10);
    EXPECT_STREQ(n_gui_listbox_get_item_text(c(), lb, 10), "");
    EXPECT_EQ(data<N_GUI_LISTBOX_DATA>(lb)->capacity, 16) << "8, then doubled";
    EXPECT_EQ(n_gui_listbox_get_count(c(), lb), 11);
    EXPECT_STREQ(n_gui_listbox_get_item_text(c(), lb, 3), "item 3");
    EXPECT_STREQ(n_gui_listbox_get_item_text(c(), lb, 11), "");
    EXPECT_STREQ(n_gui_listbox_get_item_text(c(), lb, -1), "");

    n_gui_listbox_set_selected(c(), lb, 0, 1);
    n_gui_listbox_set_selected(c(), lb, 1, 1);
    EXPECT_EQ(n_gui_listbox_is_selected(c(), lb, 0), 0) << "single mode keeps one";
    EXPECT_EQ(n_gui_listbox_get_selected(c(), lb), 1);
    n_gui_listbox_set_selected(c(), lb, 1, 0);
    EXPECT_EQ(n_gui_listbox_get_selected(c(), lb), -1);
    data<N_GUI_LISTBOX_DATA>(lb)->selection_mode = N_GUI_SELECT_MULTIPLE;
    n_gui_listbox_set_selected(c(), lb, 2, 1);
    n_gui_listbox_set_selected(c(), lb, 5, 1);
    EXPECT_EQ(n_gui_listbox_is_selected(c(), lb, 2) + n_gui_listbox_is_selected(c(), lb, 5), 2);
    EXPECT_EQ(n_gui_listbox_is_selected(c(), lb, 99), 0);

    // 60 / 20 = 3 rows: 11 items scroll at most to 8
    n_gui_listbox_set_scroll_offset(c(), lb, 50);
    EXPECT_EQ(n_gui_listbox_get_scroll_offset(c(), lb), 8);
    n_gui_listbox_set_scroll_offset(c(), lb, -4);
    EXPECT_EQ(n_gui_listbox_get_scroll_offset(c(), lb), 0);
    n_gui_listbox_set_scroll_offset(c(), lb, 8);
    for (int i = 0; i < 5; i++) n_gui_listbox_remove_item(c(), lb, 0);
    EXPECT_EQ(n_gui_listbox_get_count(c(), lb), 6);
    EXPECT_EQ(n_gui_listbox_get_scroll_offset(c(), lb), 5) << "pulled back inside the list";
    EXPECT_STREQ(n_gui_listbox_get_item_text(c(), lb, 0), "item 5");
    EXPECT_EQ(n_gui_listbox_remove_item(c(), lb, 6), -1);
    EXPECT_EQ(n_gui_listbox_remove_item(c(), lb, -1), -1);

    EXPECT_FLOAT_EQ(n_gui_listbox_content_width(c(), lb), 6 * 8 + 12);
    n_gui_listbox_set_h_scroll(c(), lb, -5);
    EXPECT_FLOAT_EQ(n_gui_listbox_get_h_scroll(c(), lb), 0);
    n_gui_listbox_set_h_scroll(c(), lb, 9);
    EXPECT_FLOAT_EQ(n_gui_listbox_get_h_scroll(c(), lb), 9);
    n_gui_listbox_clear(c(), lb);
    EXPECT_EQ(n_gui_listbox_get_count(c(), lb), 0);
    EXPECT_EQ(n_gui_listbox_get_scroll_offset(c(), lb), 0);
    EXPECT_FLOAT_EQ(n_gui_listbox_get_h_scroll(c(), lb), 0);
    EXPECT_FLOAT_EQ(n_gui_listbox_content_width(c(), lb), 0);

    const int only = n_gui_add_listbox(c(), win, 1, nullptr, nullptr, 0, 0, 100, 60);
    n_gui_listbox_add_item(c(), only, "only");
    EXPECT_EQ(n_gui_listbox_remove_item(c(), only, 0), 0);
    EXPECT_EQ(n_gui_listbox_get_count(c(), only), 0);
    EXPECT_EQ(n_gui_listbox_get_scroll_offset(c(), only), 0);
}

TEST_F(GuiKinds, ItemTextsAreCutOnACharacterBoundary) {
    const int lb = n_gui_add_listbox(c(), win, 1, nullptr, nullptr, 0, 0, 100, 60);
    std::string text(125, 'a');
    text += "\xe2\x82\xac";  // 128 bytes: the euro sign does not fit in 127
    n_gui_listbox_add_item(c(), lb, text.c_str());
    EXPECT_EQ(std::string(n_gui_listbox_get_item_text(c(), lb, 0)), std::string(125, 'a'));
    const int cb = n_gui_add_checkbox(c(), win, text.c_str(), 0, nullptr, nullptr, 0, 0, 9, 9);
    EXPECT_EQ(std::string(n_gui_checkbox_get_label(c(), cb)), std::string(125, 'a'));
    std::string label(4094, 'b');
    label += "\xc3\xa9";
    const int l = n_gui_add_label(c(), win, label.c_str(), 0, 0, 0, 9, 9);
    EXPECT_EQ(strlen(n_gui_label_get_text(c(), l)), 4094u);
}

TEST_F(GuiKinds, RadioListAndComboBox) {
    const int rl = n_gui_add_radiolist(c(), win, nullptr, nullptr, 0, 0, 100, 60);
    n_gui_radiolist_add_item(c(), rl, "one");
    n_gui_radiolist_add_item(c(), rl, "two");
    n_gui_radiolist_set_selected(c(), rl, 1);
    n_gui_radiolist_set_selected(c(), rl, 2);
    n_gui_radiolist_set_selected(c(), rl, -2);
    EXPECT_EQ(n_gui_radiolist_get_selected(c(), rl), 1);
    n_gui_radiolist_set_selected(c(), rl, -1);
    EXPECT_EQ(n_gui_radiolist_get_selected(c(), rl), -1);
    n_gui_radiolist_set_selected(c(), rl, 0);
    n_gui_radiolist_clear(c(), rl);
    EXPECT_EQ(n_gui_radiolist_get_selected(c(), rl), -1);
    EXPECT_EQ(data<N_GUI_RADIOLIST_DATA>(rl)->count, 0);

    const int co = n_gui_add_combobox(c(), win, nullptr, nullptr, 0, 0, 100, 24);
    for (const char *t : {"a", "b", "c", "d", "e", "f"}) n_gui_combobox_add_item(c(), co, t);
    EXPECT_EQ(n_gui_combobox_get_count(c(), co), 6);
    n_gui_combobox_set_selected(c(), co, 4);
    data<N_GUI_COMBOBOX_DATA>(co)->hovered = 2;
    EXPECT_EQ(n_gui_combobox_remove_item(c(), co, 2), 0);
    EXPECT_EQ(n_gui_combobox_get_selected(c(), co), 3) << "the selection after the removed item moves down";
    EXPECT_EQ(data<N_GUI_COMBOBOX_DATA>(co)->hovered, -1) << "the removed item was highlighted";
    EXPECT_STREQ(n_gui_combobox_get_item_text(c(), co, 2), "d");
    EXPECT_EQ(data<N_GUI_COMBOBOX_DATA>(co)->items[5].text[0], '\0') << "the freed last slot is wiped";
    n_gui_combobox_remove_item(c(), co, 3);
    EXPECT_EQ(n_gui_combobox_get_selected(c(), co), -1);
    EXPECT_EQ(n_gui_combobox_remove_item(c(), co, 9), -1);
    EXPECT_STREQ(n_gui_combobox_get_item_text(c(), co, 9), "");
    data<N_GUI_COMBOBOX_DATA>(co)->scroll_offset = 3;
    n_gui_combobox_clear(c(), co);
    auto *cd = data<N_GUI_COMBOBOX_DATA>(co);
    EXPECT_EQ(cd->count, 0);
    EXPECT_EQ(cd->selected, -1);
    EXPECT_EQ(cd->scroll_offset, 0);
    EXPECT_EQ(cd->hovered, -1);
    EXPECT_TRUE(qvtest::all_zero(cd->items, 4 * sizeof *cd->items)) << "item texts are wiped";
}

/* ---- split pane ---- */

TEST_F(GuiKinds, SplitPaneRatioStaysWithinItsLimits) {
    const int sp = n_gui_add_splitpane(c(), win, N_GUI_HORIZONTAL, nullptr, nullptr, 0, 0, 300, 200, 0.5f);
    n_gui_splitpane_set_limits(c(), sp, 0.8f, 0.3f);
    auto *sd = data<N_GUI_SPLITPANE_DATA>(sp);
    EXPECT_FLOAT_EQ(sd->min_ratio, 0.3f);
    EXPECT_FLOAT_EQ(sd->max_ratio, 0.3f);
    EXPECT_FLOAT_EQ(n_gui_splitpane_get_ratio(c(), sp), 0.3f);
    n_gui_splitpane_set_limits(c(), sp, -1, 2);
    EXPECT_FLOAT_EQ(sd->min_ratio, 0);
    EXPECT_FLOAT_EQ(sd->max_ratio, 1);
    n_gui_splitpane_set_ratio(c(), sp, 1.5f);
    EXPECT_FLOAT_EQ(n_gui_splitpane_get_ratio(c(), sp), 1);
    EXPECT_FLOAT_EQ(n_gui_splitpane_get_ratio(c(), 999), 0.5f);
}

/* ---- image and label ---- */

TEST_F(GuiKinds, ImageAndLabelSetters) {
    const int im = n_gui_add_image(c(), win, nullptr, 0, 0, 0, 10, 10);
    auto *bmp = reinterpret_cast<ALLEGRO_BITMAP *>(this);
    n_gui_image_set_bitmap(c(), im, bmp);
    EXPECT_EQ(data<N_GUI_IMAGE_DATA>(im)->bitmap, bmp);
    n_gui_image_set_bitmap(c(), im, nullptr);  // destroying the widget never frees a bitmap it held

    const int l = n_gui_add_label(c(), win, "old", 0, 0, 0, 100, 20);
    data<N_GUI_LABEL_DATA>(l)->sel_start = 1;
    data<N_GUI_LABEL_DATA>(l)->sel_end = 3;
    n_gui_label_set_text(c(), l, "a\r\nb");
    EXPECT_STREQ(n_gui_label_get_text(c(), l), "a\nb");
    EXPECT_EQ(data<N_GUI_LABEL_DATA>(l)->sel_start, -1) << "offsets into the old text are dropped";
    n_gui_label_set_text(c(), l, nullptr);
    EXPECT_STREQ(n_gui_label_get_text(c(), l), "");
    n_gui_label_set_link(c(), l, "https://example.org/");
    EXPECT_STREQ(data<N_GUI_LABEL_DATA>(l)->link, "https://example.org/");
    n_gui_label_set_link(c(), l, nullptr);
    EXPECT_STREQ(data<N_GUI_LABEL_DATA>(l)->link, "");
    struct Mode {
        int set, stored;
    } modes[] = {{1, 1}, {2, 2}, {5, 0}, {-1, 0}, {0, 0}};
    for (const Mode &m : modes) {
        n_gui_label_set_truncate(c(), l, m.set);
        EXPECT_EQ(n_gui_label_get_truncate(c(), l), m.stored) << m.set;
    }
    EXPECT_EQ(n_gui_label_get_text(c(), im), nullptr);
}

TEST_F(GuiKinds, LabelFitsMeasuresWhatItNeeds) {
    struct Case {
        const char *name, *text;
        int align;
        float w, h, need_w, need_h;
        int fits;
    } cases[] = {
        {"empty", "", 0, 10, 10, 0, 0, 1},
        {"one line that fits", "abcd", 0, 40, 8, 32 + 8, 8, 1},
        {"one line, half a pixel over still fits", "abcd", 0, 39.5f, 8, 40, 8, 1},
        {"one line too wide", "abcde", 0, 40, 8, 48, 8, 0},
        {"lines: widest line and the count", "ab\nabcdef\r\nx", 1, 100, 24, 48 + 8, 24, 1},
        {"lines too tall", "a\nb\nc", 0, 100, 16, 16, 24, 0},
        {"justified wraps at the width", "aa bb cc", 3, 48, 20, 48, 2 * 8 + 4, 1},
        {"justified too tall", "aa bb cc dd ee", 3, 48, 20, 48, 3 * 8 + 4, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        const int l = n_gui_add_label(c(), win, k.text, k.align, 0, 0, k.w, k.h);
        float nw = -1, nh = -1;
        EXPECT_EQ(n_gui_label_fits(c(), l, &nw, &nh), k.fits);
        EXPECT_FLOAT_EQ(nw, k.need_w);
        EXPECT_FLOAT_EQ(nh, k.need_h);
        EXPECT_EQ(n_gui_label_fits(c(), l, nullptr, nullptr), k.fits);
    }
    float nw = -1, nh = -1;
    EXPECT_EQ(n_gui_label_fits(nullptr, 1, &nw, &nh), 1);
    EXPECT_EQ(nw + nh, 0);
}

/* ---- hex view ---- */

TEST_F(GuiKinds, HexViewKeepsItsOwnCopy) {
    const int hv = n_gui_add_hexview(c(), win, 0, 0, 400, 100);
    unsigned char bytes[17];
    for (int i = 0; i < 17; i++) bytes[i] = static_cast<unsigned char>(i * 7);
    n_gui_hexview_set_data(c(), hv, bytes, sizeof bytes);
    bytes[0] = 0xFF;
    unsigned char *held = nullptr;
    EXPECT_EQ(n_gui_hexview_get_data(c(), hv, &held), 17u);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held[0], 0);
    EXPECT_EQ(n_gui_hexview_get_length(c(), hv), 17u);
    n_gui_hexview_set_cursor(c(), hv, 40);
    EXPECT_EQ(n_gui_hexview_get_cursor(c(), hv), 17u);
    data<N_GUI_HEXVIEW_DATA>(hv)->low_nibble = 1;
    n_gui_hexview_set_cursor(c(), hv, 3);
    EXPECT_EQ(n_gui_hexview_get_cursor(c(), hv), 3u);
    EXPECT_EQ(data<N_GUI_HEXVIEW_DATA>(hv)->low_nibble, 0);
    n_gui_hexview_set_editable(c(), hv, 9);
    EXPECT_EQ(data<N_GUI_HEXVIEW_DATA>(hv)->editable, 1);
    auto cb = [](int, unsigned char *, size_t, void *) {};
    n_gui_hexview_set_on_change(c(), hv, cb, this);
    EXPECT_EQ(data<N_GUI_HEXVIEW_DATA>(hv)->user_data, this);
    n_gui_hexview_set_data(c(), hv, nullptr, 5);
    EXPECT_EQ(n_gui_hexview_get_data(c(), hv, &held), 0u);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(n_gui_hexview_get_cursor(c(), hv), 0u);
    qvtest::AllocFailGuard guard;
    n_alloc_fail_after(0);
    n_gui_hexview_set_data(c(), hv, bytes, sizeof bytes);
    n_alloc_fail_after(-1);
    EXPECT_EQ(n_gui_hexview_get_length(c(), hv), 0u) << "a failed copy leaves the view empty";
    EXPECT_EQ(n_gui_hexview_get_data(c(), 999, &held), 0u);
}

/* ---- syntax view ---- */

TEST_F(GuiKinds, SyntaxViewTextLinesAndSelection) {
    const int sv = n_gui_add_syntaxview(c(), win, N_GUI_SYNTAX_PLAIN, 0, 0, 200, 100);
    EXPECT_EQ(n_gui_syntaxview_get_text(c(), sv), nullptr);
    EXPECT_EQ(n_gui_syntaxview_get_line_count(c(), sv), 0);
    n_gui_syntaxview_set_text(c(), sv, "abcde");
    EXPECT_STREQ(n_gui_syntaxview_get_text(c(), sv), "abcde");
    EXPECT_EQ(n_gui_syntaxview_get_line_count(c(), sv), 1);
    n_gui_syntaxview_set_selection(c(), sv, 7, 3);
    EXPECT_EQ(ctx->selection_owner, sv);
    char *sel = n_gui_syntaxview_get_selected_text(c(), sv);
    ASSERT_NE(sel, nullptr);
    EXPECT_STREQ(sel, "de") << "ordered and cut to the text";
    free(sel);
    n_gui_syntaxview_set_selection(c(), sv, 2, 2);
    EXPECT_EQ(n_gui_syntaxview_get_selected_text(c(), sv), nullptr);
    n_gui_syntaxview_select_all(c(), sv);
    sel = n_gui_syntaxview_get_selected_text(c(), sv);
    EXPECT_STREQ(sel, "abcde");
    free(sel);
    n_gui_syntaxview_set_text(c(), sv, "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody\n");
    EXPECT_EQ(n_gui_syntaxview_get_line_count(c(), sv), 5);
    EXPECT_EQ(ctx->selection_owner, -1) << "new text drops the selection it owned";
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->sel_start, -1);
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->header_end, 2);
    n_gui_syntaxview_set_mode(c(), sv, 77);
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->mode, 77);
    n_gui_syntaxview_set_text(c(), sv, "");
    EXPECT_EQ(n_gui_syntaxview_get_text(c(), sv), nullptr);
    n_gui_syntaxview_set_h_scroll(c(), sv, -3);
    EXPECT_FLOAT_EQ(n_gui_syntaxview_get_h_scroll(c(), sv), 0);
}

TEST_F(GuiKinds, SyntaxViewContentWidthAndScrollToOffset) {
    // 200 x 56: pitch 10, padding 4; with both bars 3 rows of 20 lines show, 188 wide
    const int sv = n_gui_add_syntaxview(c(), win, 0, 0, 0, 200, 56);
    std::string text;
    for (int i = 0; i < 20; i++) text += (i == 12 ? std::string(40, 'w') : "line " + std::to_string(i)) + "\n";
    text.pop_back();
    n_gui_syntaxview_set_text(c(), sv, text.c_str());
    EXPECT_FLOAT_EQ(n_gui_syntaxview_content_width(c(), sv), 40 * 8 + 8);
    const int line12 = static_cast<int>(text.find(std::string(40, 'w')));
    n_gui_syntaxview_scroll_to_offset(c(), sv, line12 + 30);
    auto *yd = data<N_GUI_SYNTAXVIEW_DATA>(sv);
    EXPECT_EQ(yd->scroll_offset, 12 - 3 / 2);
    // x = 240 lies right of scroll 0 + inner 180: scroll = 240 - 60, held to 328 - 188
    EXPECT_FLOAT_EQ(yd->h_scroll, 140);
    n_gui_syntaxview_scroll_to_offset(c(), sv, 0);
    EXPECT_EQ(yd->scroll_offset, 0);
    EXPECT_FLOAT_EQ(yd->h_scroll, 0);
    n_gui_syntaxview_scroll_to_offset(c(), sv, 1 << 20);
    EXPECT_EQ(yd->scroll_offset, 20 - 3) << "the last line at the bottom";
}

// Accessors that allocate refuse cleanly when memory runs out.
TEST_F(GuiKinds, AllocatingAccessorsRefuseCleanly) {
    qvtest::AllocFailGuard guard;
    const int lb = n_gui_add_listbox(c(), win, 1, nullptr, nullptr, 0, 0, 100, 60);
    const int co = n_gui_add_combobox(c(), win, nullptr, nullptr, 0, 0, 100, 24);
    const int rl = n_gui_add_radiolist(c(), win, nullptr, nullptr, 0, 0, 100, 60);
    struct Add {
        const char *kind;
        std::function<int(const char *)> add;
        std::function<int()> count;
    } adds[] = {
        {"list box", [&](const char *t) { return n_gui_listbox_add_item(c(), lb, t); }, [&] { return n_gui_listbox_get_count(c(), lb); }},
        {"combo box", [&](const char *t) { return n_gui_combobox_add_item(c(), co, t); }, [&] { return n_gui_combobox_get_count(c(), co); }},
        {"radio list", [&](const char *t) { return n_gui_radiolist_add_item(c(), rl, t); }, [&] { return data<N_GUI_RADIOLIST_DATA>(rl)->count; }},
    };
    for (const Add &a : adds) {
        SCOPED_TRACE(a.kind);
        for (int i = 0; i < 8; i++) ASSERT_EQ(a.add("kept"), i);
        n_alloc_fail_after(0);
        EXPECT_EQ(a.add("ninth"), -1) << "the array could not grow";
        n_alloc_fail_after(-1);
        EXPECT_EQ(a.count(), 8);
        EXPECT_EQ(a.add("ninth"), 8);
    }
    const int sv = n_gui_add_syntaxview(c(), win, 0, 0, 0, 100, 60);
    n_gui_syntaxview_set_text(c(), sv, "old");
    n_alloc_fail_after(0);
    n_gui_syntaxview_set_text(c(), sv, "new text");
    n_alloc_fail_after(-1);
    EXPECT_EQ(n_gui_syntaxview_get_text(c(), sv), nullptr) << "a failed copy leaves the view empty";
    EXPECT_EQ(n_gui_syntaxview_get_line_count(c(), sv), 0);
    n_gui_syntaxview_set_text(c(), sv, "abc");
    n_gui_syntaxview_select_all(c(), sv);
    n_alloc_fail_after(0);
    EXPECT_EQ(n_gui_syntaxview_get_selected_text(c(), sv), nullptr);
    n_alloc_fail_after(-1);
}

/* ---- data-grid columns ---- */

TEST_F(GuiKinds, MovingAColumnShiftsTheOnesBetween) {
    const int g = n_gui_add_datagrid(c(), win, nullptr, nullptr, 0, 0, 300, 100);
    auto *gd = data<N_GUI_DATAGRID_DATA>(g);
    int order[4] = {0, 1, 2, 3};
    gd->order = order;
    gd->col_count = 4;
    n_gui_datagrid_move_column(c(), g, 0, 2);
    EXPECT_EQ(std::vector<int>(order, order + 4), (std::vector<int>{1, 2, 0, 3}));
    n_gui_datagrid_move_column(c(), g, 3, 0);
    EXPECT_EQ(std::vector<int>(order, order + 4), (std::vector<int>{3, 1, 2, 0}));
    n_gui_datagrid_move_column(c(), g, 1, 4);
    n_gui_datagrid_move_column(c(), g, 2, 2);
    EXPECT_EQ(std::vector<int>(order, order + 4), (std::vector<int>{3, 1, 2, 0}));
    gd->order = nullptr;
    gd->col_count = 0;
}

}  // namespace

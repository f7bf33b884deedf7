"""Every text the program can show an operator is Chinese: walks the program's sources for
the texts it writes into labels, buttons, titles and message boxes, and for the reasons its
failures carry.

- A text literal with Chinese in it has no Latin word but a file name extension, the unit
  "kg" and the port's name "Com1". A number format code (its Chinese quoted or "上午/下午",
  the rest the code's letters and signs: yyyy"年"m"月"), nor is a code without Chinese
  ("h:mm AM/PM").
- A literal handed straight to a label, a button, a title, an action or a message box is
  Chinese, or one of the few texts the window itself defines ("Load...", "Label3",
  "Label5").
- No literal of the workbook component or the records is an English phrase (three or more
  words), which would be a reason or a message in the wrong language. (The serial port's
  and the link's failures carry English texts for developers; the window replaces them by
  its fixed messages or by red "Load...".)
- A failure of the workbook component or of the store takes its reason from the one table
  of reasons (its Chinese texts are checked by tst_platform_texts), never from a literal.

usage: check_operator_texts.py SOURCE_DIR
"""
import os
import re
import sys

ALLOWED_WORDS = {"xls", "xlsx", "kg", "Com"}
WINDOW_TEXTS = {"Load...", "Label3", "Label5"}
LITERAL = re.compile(r'(?:QStringLiteral\(|u8?)?"((?:[^"\\\n]|\\.)*)"')
SHOWN = re.compile(r'(?:setCaption|setText|setWindowTitle|MsgBox|QPushButton|QAction|'
                   r'setToolTip|setPlaceholderText|setLabelText|addTab)\(\s*'
                   r'(?:QStringLiteral\(|QString\(|u8?)?"((?:[^"\\\n]|\\.)*)"')
ERROR_WITH_LITERAL = re.compile(r'Error\(\s*(?:workbook::)?Error::Kind::\w+\s*,[^;]*?"', re.S)


def chinese(text):
    return any("\u4e00" <= c <= "\u9fff" for c in text)


FORMAT_CODE_SIGNS = re.compile(r'^[ymdhsaeAMP0#?.,:;/\\\[\]\- _@%*]*$')


def format_code(text):
    """Whether a literal is a number format code with Chinese in it."""
    rest = re.sub(r'\\"[^"]*?\\"', "", text).replace("上午/下午", "")
    return rest != text and not chinese(rest) and FORMAT_CODE_SIGNS.match(rest) is not None


def latin_words(text):
    return [w for w in re.findall(r"[A-Za-z]{2,}", text) if w not in ALLOWED_WORDS]


def strip_comments(source):
    source = re.sub(r"/\*.*?\*/", "", source, flags=re.S)
    return re.sub(r"(?m)^\s*//.*$|(?<=[;{}),])\s*//.*$", "", source)


PHRASES_CHECKED = ("workbook/", "records/")


def check(path, source):
    problems = []
    code = re.sub(r"static_assert\(.*?\);", "", strip_comments(source), flags=re.S)
    phrases = path.replace(os.sep, "/").startswith(PHRASES_CHECKED)
    for m in LITERAL.finditer(code):
        text = m.group(1)
        if chinese(text) and not format_code(text) and latin_words(text.replace("\\n", " ")):
            problems.append(f"Latin words {latin_words(text)} in \"{text}\"")
        elif phrases and not FORMAT_CODE_SIGNS.match(text) and len(re.findall(r"\b[A-Za-z]{2,}\b", text)) >= 3 and re.search(r"[A-Za-z]{2,} [A-Za-z]", text):
            problems.append(f"an English phrase: \"{text}\"")
    for m in SHOWN.finditer(code):
        text = m.group(1)
        if text and not chinese(text) and text not in WINDOW_TEXTS and re.search("[A-Za-z]", text):
            problems.append(f"a text shown to the operator is not Chinese: \"{text}\"")
    for m in ERROR_WITH_LITERAL.finditer(code):
        problems.append("a failure's reason written in place, not taken from the table: "
                        + " ".join(m.group(0).split())[:120])
    return [f"{path}: {p}" for p in problems]


def main():
    source_dir = sys.argv[1]
    problems, files = [], 0
    for folder, _, names in os.walk(source_dir):
        for name in sorted(names):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                problems += check(os.path.relpath(path, source_dir), f.read())
            files += 1
    for p in problems:
        print("FAIL:", p)
    print(f"{files} source files walked, {len(problems)} problems")
    return 1 if problems or files == 0 else 0


if __name__ == "__main__":
    sys.exit(main())

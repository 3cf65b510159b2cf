# Doxygen input filter: the library's headers are commented with plain "//"
# lines, written for readers of the header. This turns them into
# documentation comments without changing the line count, so that warnings
# point at the right lines:
#   - the leading block documents the file: its first line,
#     "// CmThread.h - what it offers", becomes
#     "/// \file CmThread.h what it offers";
#   - every other comment that starts a line documents what follows it;
#   - a paragraph indented by two or more spaces that is not a list (a
#     picture, a code example) between blank comment lines is kept as it is
#     written: the blank lines become the fences of a code block;
#   - comments after code on the same line stay plain comments.
# Lines already written as "///" or "//!" are left alone.
function is_comment(s) { return s ~ /^[ \t]*\/\/([^\/!]|$)/ }
function text_of(s) { return substr(s, index(s, "//") + 2) }
function is_blank(s) { return is_comment(s) && text_of(s) ~ /^[ \t]*$/ }
function is_indented(s) {
  return is_comment(s) && text_of(s) ~ /^   *[^ ]/ && text_of(s) !~ /^ +(-|[0-9]+[.)]) /
}
{ line[NR] = $0 }
END {
  # Pictures: from an indented line after a blank comment line to the last
  # indented line before a blank line not followed by another one; only
  # when a blank line follows, as the closing fence needs a line.
  for (i = 2; i <= NR; i++) {
    if (!(is_blank(line[i - 1]) && is_indented(line[i]))) continue
    j = i
    while (j + 1 <= NR && (is_indented(line[j + 1]) || (is_blank(line[j + 1]) && is_indented(line[j + 2])))) j++
    if (j + 1 <= NR && is_blank(line[j + 1])) {
      fence[i - 1] = 1
      fence[j + 1] = 1
    }
    i = j
  }
  seen = 0
  for (i = 1; i <= NR; i++) {
    s = line[i]
    if (is_comment(s)) {
      n = index(s, "//")
      text = substr(s, n + 2)
      if (!seen && i == 1) {
        if (match(text, /^ [^ ]+ - /)) text = substr(text, 1, RLENGTH - 3) " " substr(text, RLENGTH + 1)
        text = " \\file" text
      }
      if (fence[i]) text = " ~~~"
      s = substr(s, 1, n - 1) "///" text
    }
    seen = 1
    print s
  }
}

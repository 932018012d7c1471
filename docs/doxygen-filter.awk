# Doxygen input filter for the public headers: their plain // comments are the reference
# text, so they are read as documentation comments. The headers themselves stay as written.
# Line numbers are kept: every line comes out as one line.

# Outside "quotes" and `code`, escapes the characters that Doxygen reads as commands,
# references or markup; inside them it shows text as written.
function escape(text,    out, i, c, quoted, coded) {
    out = ""
    for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "\"" && !coded) {
            quoted = !quoted
        } else if (c == "`" && !quoted) {
            coded = !coded
        } else if (!quoted && !coded && index("\\@<>&#%$", c) > 0) {
            c = "\\" c
        }
        out = out c
    }
    return out
}

{
    line = $0
    # Tool directives are no documentation.
    sub(/[ \t]*\/\/ NOLINT.*$/, "", line)
    if (match(line, /^[ \t]*\/\/( |$)/)) {
        # A full-line comment becomes a /// comment.
        match(line, /^[ \t]*/)
        indent = substr(line, 1, RLENGTH)
        line = indent "///" escape(substr(line, RLENGTH + 3))
    } else if (match(line, /;[ \t]*\/\/ /)) {
        # A comment after a member documents that member.
        line = substr(line, 1, RSTART) " ///< " escape(substr(line, RSTART + RLENGTH))
    } else if (line == "#pragma once") {
        # The include guard's line joins the file's opening comment as the file's page.
        line = "/// \\file"
    }
    print line
}

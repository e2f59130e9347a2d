"""The user guide as one HTML page: Debian's python3-markdown with its
tables; sane_lists keeps a step's own number where a picture breaks the
list. The pictures go inside the page as data: URIs, since the zip holds the
guide as one file."""
import base64
import html
import os

import markdown
import markdown.extensions
import markdown.treeprocessors

STYLE = ("body{font-family:sans-serif;max-width:50em;margin:1em auto;padding:0 1em;line-height:1.4}"
         "table{border-collapse:collapse}td,th{border:1px solid #aaa;padding:.3em .5em;"
         "vertical-align:top;text-align:left}code{background:#eee;white-space:pre}img{border:1px solid #ccc}")


def data_uri(path):
    with open(path, "rb") as f:
        return "data:image/png;base64," + base64.b64encode(f.read()).decode()


class InlinePictures(markdown.treeprocessors.Treeprocessor):
    """Replaces each picture's file name, relative to the guide, by its content."""

    def __init__(self, md, base):
        super().__init__(md)
        self.base = base

    def run(self, root):
        for picture in root.iter("img"):
            picture.set("src", data_uri(os.path.join(self.base, picture.get("src"))))


class CodeOnOneLine(markdown.treeprocessors.Treeprocessor):
    """A code span broken across lines of the guide is one line on the page
    (the style keeps its blanks, so a line break would show)."""

    def run(self, root):
        for code in root.iter("code"):
            if code.text:
                code.text = code.text.replace("\n", " ")


class GuidePage(markdown.extensions.Extension):
    def __init__(self, base):
        super().__init__()
        self.base = base

    def extendMarkdown(self, md):
        # After the inline patterns, which make the pictures and code spans.
        md.treeprocessors.register(InlinePictures(md, self.base), "inline_pictures", 0)
        md.treeprocessors.register(CodeOnOneLine(md), "code_on_one_line", 0)


def markdown_to_html(text, base, title):
    body = markdown.markdown(text, extensions=["tables", "sane_lists", GuidePage(base)], output_format="html")
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
            "<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (html.escape(title), STYLE, body))

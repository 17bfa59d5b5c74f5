"""Checks that the site's internal links resolve, and the repository links of
Markdown files: python docs/check_links.py SITE [FILE.md ...]

In the built HTML every link that is not to another host must name a file of
the site and, with a fragment, an id in that file. In each Markdown file every
relative link must name a file or folder of the repository. Exits with 1 and
lists the broken links when there are any.
"""

import re
import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class Page(HTMLParser):
    def __init__(self):
        super().__init__()
        self.links, self.ids = [], set()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        if tag == "a" and "name" in attrs:
            self.ids.add(attrs["name"])
        for name in ("href", "src"):
            if attrs.get(name):
                self.links.append(attrs[name])


def external(link):
    parts = urlsplit(link)
    return bool(parts.scheme or parts.netloc) or link.startswith(("mailto:", "javascript:"))


def read(page):
    parsed = Page()
    parsed.feed(page.read_text(encoding="utf-8"))
    return parsed


def site_problems(site):
    pages = {page: read(page) for page in site.rglob("*.html")}
    problems = []
    for page, parsed in pages.items():
        for link in parsed.links:
            if external(link):
                continue
            parts = urlsplit(link)
            target = (page.parent / unquote(parts.path)).resolve() if parts.path else page
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                problems.append(f"{page.relative_to(site)}: {link}: no such file")
            elif parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else read(target).ids
                if unquote(parts.fragment) not in ids:
                    problems.append(f"{page.relative_to(site)}: {link}: no such anchor")
    return problems, len(pages)


MARKDOWN_LINK = re.compile(r"\]\(([^)\s]+)\)")


def markdown_problems(path):
    problems = []
    for link in MARKDOWN_LINK.findall(path.read_text(encoding="utf-8")):
        if external(link) or link.startswith("#"):
            continue
        if not (path.parent / unquote(urlsplit(link).path)).exists():
            problems.append(f"{path}: {link}: no such file")
    return problems


def main(site, *markdown):
    site = Path(site).resolve()
    problems, count = site_problems(site)
    for path in markdown:
        problems += markdown_problems(Path(path))
    for problem in problems:
        print(problem)
    print(f"{count} pages and {len(markdown)} Markdown files checked, "
          f"{len(problems)} broken internal links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

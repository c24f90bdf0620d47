"""Opens every page of the built site in headless Chromium, as a reader on a desktop screen would.

    python tests/docs/site_check.py build/site

- Nothing is cut off at 1440x900: the page does not scroll sideways, tables and output (text and
  console blocks) fit or wrap, and a code block wider than its box scrolls inside it with a
  scrollbar of full width and a thumb that shows.
- A console block's copy button copies the typed lines without their prompts and without the
  output (the button is clicked and what it hands the clipboard is read).
- A function's heading in the API reference is anchored under the function's own name.
- The header links to the repository.
Exit status 1 with one line per fault. Needs chromium and chromedriver (scripts/provision.sh docs)
and selenium.
"""

import functools
import http.server
import os
import re
import sys
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

WIDTH, HEIGHT = 1440, 900

# Per block or table on the page: what a reader would miss.
MEASURE = """
// the opacity of a scrollbar's thumb: "auto" is the browser's own, which shows
const thumbAlpha = color => {
  if (color === "auto") return 1;
  const rgba = color.match(/rgba?\(([^)]*)\)/);
  const parts = rgba ? rgba[1].split(",") : [];
  return parts.length === 4 ? parseFloat(parts[3]) : 1;
};
const out = [];
const page = document.documentElement;
if (page.scrollWidth > page.clientWidth + 1)
  out.push(`the page scrolls sideways (${page.scrollWidth} px in ${page.clientWidth})`);
document.querySelectorAll("article pre > code, article table").forEach((el, i) => {
  if (el.scrollWidth <= el.clientWidth + 1) return;
  const block = el.closest("div.highlight");
  const lang = block ? (block.className.match(/language-(\w+)/) || [, "?"])[1] : "?";
  const what = `${el.tagName === "TABLE" ? "table" : lang + " block"} ${i + 1} ` +
    `("${el.textContent.trim().slice(0, 40)}", ${el.scrollWidth} px in ${el.clientWidth})`;
  const style = getComputedStyle(el);
  if (el.tagName === "TABLE" || ["text", "pycon", "?"].includes(lang))
    out.push(`${what}: neither fits nor wraps`);
  else if (!["auto", "scroll"].includes(style.overflowX))
    out.push(`${what}: cut off (overflow-x ${style.overflowX})`);
  else if (style.scrollbarWidth !== "auto" || thumbAlpha(style.scrollbarColor) < 0.5)
    out.push(`${what}: scrolls with a scrollbar one hardly sees (${style.scrollbarWidth},` +
             ` ${style.scrollbarColor})`);
});
return out;
"""

# Clicks each console block's copy button and returns [(typed lines, what was copied)].
COPY = """
const done = arguments[arguments.length - 1];
const seen = [];
const real = document.execCommand.bind(document);
document.execCommand = (command, ...rest) => {
  if (command === "copy") seen.push(document.activeElement.value ?? String(getSelection()));
  return real(command, ...rest);
};
const blocks = [...document.querySelectorAll("div.highlight")].filter(b => b.querySelector(".gp"));
const typed = blocks.map(b => b.querySelector("code").textContent.split("\\n")
  .filter(l => /^(>>>|\\.\\.\\.)( |$)/.test(l)).map(l => l.slice(4)).join("\\n"));
const click = tries => {  // the theme adds the buttons once the page has loaded
  const buttons = blocks.map(b => b.querySelector("[data-clipboard-target]"));
  if (buttons.includes(null) && tries > 0) return setTimeout(() => click(tries - 1), 50);
  buttons.forEach(button => button && button.click());
  setTimeout(() => done(typed.map((t, i) => [t, seen[i] ?? null])), 100);
};
click(100);
"""


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(folder):
    handler = functools.partial(Quiet, directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_port}/"


def pages(folder):
    for root, _, files in os.walk(folder):
        where = os.path.relpath(root, folder).replace(os.sep, "/")
        if "index.html" in files and not where.startswith(("assets", "search")):
            yield "/" if where == "." else f"/{where}/"


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars=false",
                f"--window-size={WIDTH},{HEIGHT}"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")),
                              options=options)
    driver.set_script_timeout(10)
    return driver


def check(folder):
    base = serve(folder)
    faults, counts = [], {"pages": 0, "blocks": 0, "console blocks copied": 0}
    driver = browser()
    try:
        for page in sorted(pages(folder)):
            driver.get(base + page.lstrip("/"))
            counts["pages"] += 1
            counts["blocks"] += driver.execute_script(
                "return document.querySelectorAll('article pre > code, article table').length")
            faults += [f"{page}: {f}" for f in driver.execute_script(MEASURE)]
            for typed, copied in driver.execute_async_script(COPY):
                counts["console blocks copied"] += 1
                if copied != typed:
                    faults.append(f"{page}: a console block's copy button copies {copied!r},"
                                  f" not the typed lines {typed!r}")
            if not driver.execute_script("return document.querySelector('a.md-source[href]')"):
                faults.append(f"{page}: no link to the repository in the header")
            if page == "/api/":
                for text, anchor in driver.execute_script(
                        "return [...document.querySelectorAll('article h3')]"
                        ".map(h => [h.textContent, h.id])"):
                    name = re.match(r"(\w+)\(", text)
                    if name and anchor != name.group(1):
                        faults.append(f"{page}: {text.strip()!r} is anchored as #{anchor}")
    finally:
        driver.quit()
    return faults, counts


def main(folder):
    faults, counts = check(folder)
    for fault in faults:
        print(fault)
    print("site in Chromium at %dx%d: %s; %d faults"
          % (WIDTH, HEIGHT, ", ".join(f"{n} {what}" for what, n in counts.items()), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

// A copy button copies what one would type: in a console block (">>> " prompts), the lines after
// the prompts without them, and none of the output. Material copies a block's data-copy text
// when it has one.
document$.subscribe(function () {
  document.querySelectorAll(".highlight code").forEach(function (code) {
    if (!code.querySelector(".gp")) return;
    var typed = code.textContent.split("\n")
      .filter(function (line) { return /^(>>>|\.\.\.)( |$)/.test(line); })
      .map(function (line) { return line.slice(4); });
    code.closest(".highlight").setAttribute("data-copy", typed.join("\n"));
  });
});

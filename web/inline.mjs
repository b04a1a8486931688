// SPDX-License-Identifier: MIT
// Builds the page as one self-contained HTML file, for file:// URLs, from
// which browsers load no module script: the style sheet and the modules
// (the WebAssembly glue first, the entry last) go inline, their imports
// and exports dropped, as one module. The worker's modules go in as text,
// which the page starts as a module worker from a data URL.
//
//   node inline.mjs PAGE_DIR OUTPUT.html
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";

const [page, output] = process.argv.slice(2);
const read = (name) => readFileSync(join(page, name), "utf8");
const modules = ["conemask_wasm.mjs", "geometry.js", "names.js", "palette.js",
                 "page.js", "controls.js", "settings.js", "view.js", "overlay.js", "regions.js", "selection.js", "keys.js",
                 "open.js", "engine.js", "main.js"];
// The worker's modules, the WebAssembly glue first, the entry last.
const worker_modules = ["conemask_wasm.mjs", "geometry.js", "palette.js", "render.js", "fit.js", "names.js", "reading.js",
                        "decode.js", "worker.js"];

const bare = (source) =>
    source
        .split("\n")
        .filter((line) => !/^import .* from "\.\/[\w.]+";$/.test(line) && !/^export default \w+;$/.test(line))
        .map((line) => line.replace(/^export (const|let|function|async function) /, "$1 "))
        .join("\n");

let html = read("index.html");
const replace = (from, to) => {
    if (!html.includes(from)) {
        throw new Error(`index.html no longer holds ${from}`);
    }
    html = html.replace(from, () => to);
};
replace('<link rel="stylesheet" href="style.css">', `<style>\n${read("style.css")}</style>`);
const inline = (names) => {
    const script = names.map((name) => `// ${name}\n${bare(read(name))}`).join("\n");
    if (script.includes("</script")) {
        throw new Error("a module holds </script, which would end the inline script");
    }
    return script;
};
const script = inline(modules);
const worker_script = inline(worker_modules);
replace('<script type="module" src="main.js"></script>',
        `<script type="text/plain" id="worker-source">\n${worker_script}\n</script>\n` +
        `<script type="module">\n${script}\n</script>`);
writeFileSync(output, html);

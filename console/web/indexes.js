// Build Indexes and Add Descriptions for the selected directory: their option
// dialogs, the job on the server, and a short account of what it did.
//
// Exports:
//   buildIndexes(directoryId)   -> the answer's data | null
//   addDescriptions(directoryId) -> the answer's data | null (reloadList tells
//       whether the file list should be read again)
import { propertySheet, messageBox } from "./dialogs.js";
import { ask } from "./ask.js";

function plural(n, one, many) { return `${n} ${n === 1 ? one : many}`; }

export async function buildIndexes(directoryId) {
  const values = await propertySheet({
    title: "Create Index",
    pages: [{ title: "Index", fields: [
      { name: "subdirectories", label: "Include &subdirectories", type: "checkbox" },
      { name: "skipBlank", label: "Skip &blank entries", type: "checkbox" },
    ] }],
    values: { subdirectories: true, skipBlank: false },
    onOk: () => true,
  });
  if (!values) return null;
  document.body.classList.add("busy");
  const r = await ask("POST", `/api/tree/directories/${Number(directoryId)}/index`, values).finally(() => {
    document.body.classList.remove("busy");
  });
  if (!r.ok) return null;
  const { written = [], failed = [] } = r.data;
  const lines = [`${plural(written.length, "index file", "index files")} written.`];
  if (failed.length) lines.push(`Not written: ${failed.join(", ")}`);
  await messageBox(lines.join("\n"), { icon: "information" });
  return r.data;
}

export async function addDescriptions(directoryId) {
  const values = await propertySheet({
    title: "Add Descriptions",
    pages: [{ title: "Descriptions", fields: [
      { name: "blankOnly", label: "Update only &Blank descriptions", type: "checkbox" },
      { name: "subdirectories", label: "Include Subdirectories", type: "checkbox" },
      { name: "txt", label: "Matching .&TXT file", type: "checkbox", group: "Long Description Sources" },
      { name: "doc", label: "Matching .&DOC file", type: "checkbox", group: "Long Description Sources" },
      { name: "descriptIon", label: "&4DOS descript.ion", type: "checkbox", group: "Short Title Sources" },
      { name: "firstLine", label: "First line of &long description", type: "checkbox", group: "Short Title Sources" },
    ] }],
    values: { blankOnly: true, subdirectories: false, txt: false, doc: false, descriptIon: false, firstLine: false },
    onOk: () => true,
  });
  if (!values) return null;
  const r = await ask("POST", `/api/tree/directories/${Number(directoryId)}/descriptions`, values);
  if (!r.ok) return null;
  const d = r.data;
  await messageBox(`${plural(d.directories ?? 0, "directory", "directories")} searched: `
                   + `${plural(d.descriptions ?? 0, "description", "descriptions")} and `
                   + `${plural(d.titles ?? 0, "title", "titles")} added.`, { icon: "information" });
  return d.reloadList ? d : null;
}

// System > Settings...: the settings sheet and its service page.
import * as api from "./api.js";
import { defineCommand } from "./commands.js";
import { propertySheet, openModal } from "./dialogs.js";
import { element } from "./dom.js";

const kLogging = [
  ["LogUPLOAD", "&Upload", "Files"], ["LogDOWNLOAD", "&Download", "Files"], ["LogRENAME", "&Rename", "Files"],
  ["LogDELETE", "D&elete", "Files"], ["LogCHMOD", "Change &Mode", "Files"], ["LogCHGRP", "Change &Group", "Files"],
  ["LogCHOWN", "Change &Owner", "Files"], ["LogKICK", "&Kick User", "Other"], ["LogCONSOLE", "&Console Message", "Other"],
  ["LogUMSG", "U&ser Message", "Other"], ["LogLOGIN", "&Log In", "Other"], ["LogLOGOUT", "Log Ou&t", "Other"],
];
const kServiceFields = ["startType", "logOnAs", "account"];

function pages(dataSources, passwordSet) {
  const isUser = (v) => v.logOnAs === "user";
  return [
    { title: "General", fields: [
      { name: "Mail", label: "&E-Mail", type: "text" },
      { name: "Timeout", label: "Default &Timeout", type: "integer", min: 30, max: 7200 },
      { name: "Lookup", label: "&Lookup Client Name", type: "checkbox" },
    ] },
    { title: "Database", fields: [
      { name: "Database", label: "ODBC &Database", type: "combo", options: dataSources },
      { name: "DBLogin", label: "&Login", type: "text" },
      { name: "DBPassword", label: "&Password", type: "password",
        placeholder: passwordSet ? "(unchanged)" : "" },
      { type: "note", label: "The data source, login and password take effect at the next start." },
    ] },
    { title: "Encryption", fields: [
      { name: "TLSCertificate", label: "&Certificate (PEM file)", type: "text" },
      { name: "TLSKey", label: "&Key (PEM file)", type: "text" },
      { name: "TLSRequired", label: "Require TLS", type: "radio", options: [
        { value: "0", label: "&Optional" }, { value: "1", label: "For &named users" },
        { value: "2", label: "For &everyone" }] },
      { type: "note", label: "Empty certificate: no TLS. A changed certificate serves the next connection." },
    ] },
    { title: "Logging", fields: kLogging.map(([name, label, group]) => ({ name, label, type: "checkbox", group })) },
    { title: "Service", fields: [
      { name: "startType", label: "Run Service", type: "radio", options: [
        { value: "automatic", label: "&Automatic" }, { value: "manual", label: "&Manual" },
        { value: "disabled", label: "&Disabled" }] },
      { name: "logOnAs", label: "Log On As", type: "radio", options: [
        { value: "administrator", label: "Adm&inistrator" }, { value: "user", label: "This &User" }] },
      { name: "account", label: "Account &name", type: "text", enabledWhen: isUser },
      { type: "note", label: "The service runs as a systemd unit with the account chosen here." },
    ] },
  ];
}

function showUnit(result) {
  const content = element("div", {}, element("p", { className: "message-text", textContent: result.instructions || "" }),
                          element("pre", { className: "unit-text", textContent: result.unit || "", tabIndex: 0 }));
  return openModal({ title: "Service", content, className: "unit-dialog",
                     buttons: [{ label: "OK", value: "OK", isDefault: true }] });
}

async function openSettings() {
  const [settings, sources, service] = await Promise.all([
    api.get("/api/settings"), api.get("/api/datasources", { quiet: true }), api.get("/api/service", { quiet: true })]);
  if (!settings.ok) return;
  const s = settings.data;
  const svc = service.ok ? service.data : { startType: "automatic", logOnAs: "administrator", account: "" };
  const values = {
    Mail: s.Mail, Timeout: String(s.Timeout), Lookup: s.Lookup, Database: s.Database, DBLogin: s.DBLogin,
    DBPassword: "", TLSCertificate: s.TLSCertificate, TLSKey: s.TLSKey, TLSRequired: String(s.TLSRequired),
    ...s.Logging, startType: svc.startType, logOnAs: svc.logOnAs, account: svc.account || "",
  };
  const names = sources.ok ? sources.data.dataSources.map((d) => d.name) : [];
  let serviceAnswer = null;
  await propertySheet({
    title: "Settings",
    pages: pages(names, s.DBPasswordSet),
    values,
    async onOk(v) {
      const body = { Mail: v.Mail, Timeout: v.Timeout, Lookup: v.Lookup, Database: v.Database, DBLogin: v.DBLogin,
                     TLSCertificate: v.TLSCertificate, TLSKey: v.TLSKey, TLSRequired: Number(v.TLSRequired),
                     Logging: Object.fromEntries(kLogging.map(([name]) => [name, !!v[name]])) };
      // An empty password field leaves the stored password as it is.
      if (v.DBPassword !== "") body.DBPassword = v.DBPassword;
      const saved = await api.put("/api/settings", body, { fieldErrors: true });
      if (saved.fieldError) return saved.fieldError;
      if (!saved.ok) return false;
      // The unit is written only when its page changed: writing it may need root.
      if (kServiceFields.some((k) => v[k] !== values[k])) {
        const written = await api.put("/api/service", { startType: v.startType, logOnAs: v.logOnAs,
                                                        account: v.account }, { fieldErrors: true });
        if (written.fieldError) return written.fieldError;
        if (!written.ok) return { page: "Service", field: v.logOnAs === "user" ? "account" : "startType",
                                  text: written.data?.message?.text || "" };
        serviceAnswer = written.data;
      }
      return true;
    },
  });
  if (serviceAnswer) await showUnit(serviceAnswer);
}

defineCommand("settings", { label: "&Settings...", prompt: "Change the server's settings and its service",
                            icon: "settings", run: openSettings });

// The enclosures pxraidd serves on the system bus: their health at a
// glance, each member's port, state, model and serial, a rebuild's progress,
// what the service's member history remembers of them, the day's log, the
// service's events as they arrive, and firmware work on them, which pxraid
// hands to pxraidd as its jobs (polkit deciding, Cockpit's administrative
// access making the page's user root).
//
// Every text here may come from a device (names, models, serial numbers),
// so it is set with textContent and never parsed as markup.
(function () {
    "use strict";

    const SERVICE = "org.pxraid.PxRaid1";
    const ROOT = "/org/pxraid/PxRaid1";
    const MANAGER = "org.pxraid.PxRaid1.Manager";
    const ENCLOSURE = "org.pxraid.PxRaid1.Enclosure";
    // Enough for a day of polls without the page growing without bound.
    const MAX_EVENTS = 500;
    // Of each enclosure's history, the newest events and rebuilds.
    const HISTORY_EVENTS = 10;
    const HISTORY_REBUILDS = 5;

    const HEALTH_WORDS = { ok: "OK", warning: "Warning", critical: "Critical", unknown: "Unknown" };

    function el(tag, className, text) {
        const node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined && text !== null)
            node.textContent = String(text);
        return node;
    }

    function healthClass(health) {
        return "px-health-" + (Object.prototype.hasOwnProperty.call(HEALTH_WORDS, health) ? health : "unknown");
    }

    function healthWord(health) {
        return HEALTH_WORDS[health] || "Unknown";
    }

    // "1 h 5 min", "4 min", "less than a minute".
    function duration(seconds) {
        if (seconds < 60)
            return "less than a minute";
        const minutes = Math.round(seconds / 60);
        const hours = Math.floor(minutes / 60);
        const rest = minutes % 60;
        if (hours === 0)
            return rest + " min";
        return rest === 0 ? hours + " h" : hours + " h " + rest + " min";
    }

    function capacity(sectors) {
        const bytes = Number(sectors) * 512;
        if (!(bytes > 0))
            return "";
        const units = ["B", "KB", "MB", "GB", "TB", "PB"];
        let value = bytes;
        let unit = 0;
        while (value >= 1000 && unit < units.length - 1) {
            value /= 1000;
            unit++;
        }
        return (value >= 100 ? value.toFixed(0) : value.toFixed(1)) + " " + units[unit];
    }

    // What is wrong with an enclosure, in a few words, for the line under
    // its name; empty when nothing is.
    function summary(enc) {
        if (!enc.StatusRead)
            return "Does not answer";
        if (enc.RebuildRunning) {
            let text = "Rebuilding " + (enc.RebuildDirection ? enc.RebuildDirection + " " : "") +
                enc.RebuildPercent + "%";
            const left = Number(enc.RebuildRemainingSeconds);
            text += left >= 0 ? ", about " + duration(left) + " left" : ", time left not known yet";
            return text;
        }
        const troubled = (enc.Members || []).filter(m => m[1] === "failed" || m[1] === "absent");
        if (troubled.length > 0)
            return troubled.map(m => m[0] + " " + m[1]).join(", ");
        return "";
    }

    function renderMember(member) {
        const [port, state, model, serial, sectors] = member;
        const row = el("tr", "px-member px-state-" + (/^[a-z]+$/.test(state) ? state : "other"));
        const cells = [
            ["Port", port],
            ["State", state],
            ["Model", model],
            ["Serial", serial],
            ["Capacity", capacity(sectors)],
        ];
        for (const [label, value] of cells) {
            const cell = el("td", "px-cell-" + label.toLowerCase(), value);
            cell.setAttribute("data-label", label);
            row.appendChild(cell);
        }
        return row;
    }

    function renderEnclosure(enc) {
        const card = el("article", "px-enclosure " + healthClass(enc.Health));
        card.setAttribute("data-id", enc.Id || "");

        const head = el("div", "px-enclosure-head");
        const title = el("h3", null, "D" + enc.Device + " " + (enc.Name || ""));
        head.appendChild(title);
        head.appendChild(el("span", "px-badge " + healthClass(enc.Health), healthWord(enc.Health)));
        card.appendChild(head);

        const said = summary(enc);
        if (said)
            card.appendChild(el("p", "px-summary", said));
        if (enc.RebuildRunning) {
            const bar = el("progress", "px-progress");
            bar.max = 100;
            bar.value = Number(enc.RebuildPercent) || 0;
            bar.textContent = bar.value + "%";
            card.appendChild(bar);
        }

        const facts = el("dl", "px-facts");
        const fact = (term, value) => {
            if (value === undefined || value === null || value === "")
                return;
            facts.appendChild(el("dt", null, term));
            facts.appendChild(el("dd", null, value));
        };
        fact("Mode", enc.Mode);
        fact("Why", enc.Reason);
        fact("Firmware", enc.Firmware);
        fact("Disk", enc.Node);
        fact("Id", enc.Id);
        card.appendChild(facts);

        const table = el("table", "px-members");
        const thead = el("thead");
        const headRow = el("tr");
        for (const label of ["Port", "State", "Model", "Serial", "Capacity"])
            headRow.appendChild(el("th", null, label));
        thead.appendChild(headRow);
        table.appendChild(thead);
        const tbody = el("tbody");
        for (const member of enc.Members || [])
            tbody.appendChild(renderMember(member));
        table.appendChild(tbody);
        card.appendChild(table);
        return card;
    }

    // One enclosure's past, from GetHistory's JSON (times are UTC).
    function renderPast(entry) {
        const block = el("article", "px-past");
        block.setAttribute("data-id", entry.id || "");
        block.appendChild(el("h3", null, (entry.name || "") + " (" + (entry.id || "") + ")"));
        block.appendChild(el("p", "px-muted", "Seen from " + entry.first_seen + " to " + entry.last_seen));
        const rebuilds = (entry.rebuilds || []).slice(-HISTORY_REBUILDS).reverse();
        if (rebuilds.length > 0) {
            const list = el("ul", "px-rebuilds");
            for (const r of rebuilds) {
                let text = r.started + "  " + r.direction + "  " + r.outcome;
                if (r.duration_seconds !== null && r.duration_seconds !== undefined)
                    text += ", " + duration(Number(r.duration_seconds));
                else
                    text += ", at " + r.percent + "%";
                list.appendChild(el("li", "px-rebuild", text));
            }
            block.appendChild(el("h4", null, "Rebuilds"));
            block.appendChild(list);
        }
        const events = (entry.events || []).slice(-HISTORY_EVENTS).reverse();
        if (events.length > 0) {
            const list = el("ul", "px-past-events");
            for (const e of events) {
                const item = el("li", "px-past-event px-severity-" +
                                (/^[a-z]+$/.test(e.severity) ? e.severity : "info"));
                item.appendChild(el("span", "px-event-time", e.time));
                item.appendChild(el("span", "px-event-name", e.name));
                item.appendChild(el("span", "px-event-message", e.message));
                list.appendChild(item);
            }
            block.appendChild(el("h4", null, "Latest events"));
            block.appendChild(list);
        }
        return block;
    }

    // Firmware work: pxraid run through the bridge (as root with
    // administrative access), which hands it to pxraidd. Its files go
    // through a folder of its own under /tmp, gone when it has ended.
    function firmwareWork(enclosureList, ended) {
        const select = document.getElementById("fw-enclosure");
        const backup = document.getElementById("fw-backup");
        const upgradeFile = document.getElementById("fw-upgrade-file");
        const upgrade = document.getElementById("fw-upgrade");
        const restoreFile = document.getElementById("fw-restore-file");
        const restore = document.getElementById("fw-restore");
        const confirmBox = document.getElementById("fw-confirm");
        const question = document.getElementById("fw-question");
        const go = document.getElementById("fw-go");
        const cancel = document.getElementById("fw-cancel");
        const state = document.getElementById("fw-state");
        const downloads = document.getElementById("fw-downloads");
        const output = document.getElementById("fw-output");
        const ADMIN = { superuser: "try" };
        let busy = false;
        let pending = null;

        function chosen() {
            return enclosureList().find(enc => enc.Id === select.value) || null;
        }
        function update() {
            const enc = chosen();
            backup.disabled = busy || !enc;
            upgrade.disabled = busy || !enc || upgradeFile.files.length !== 1;
            restore.disabled = busy || !enc || restoreFile.files.length === 0;
            upgradeFile.disabled = restoreFile.disabled = select.disabled = busy;
        }
        function tell(text, kind) {
            state.textContent = text;
            state.className = "px-fw-state" + (kind ? " px-fw-" + kind : "");
        }

        // The list of enclosures, keeping the one chosen while it is there.
        function refresh() {
            const was = select.value;
            select.replaceChildren();
            for (const enc of enclosureList()) {
                const option = el("option", null, "D" + enc.Device + " " + (enc.Name || "") + " (" + enc.Id + ")");
                option.value = enc.Id;
                select.appendChild(option);
            }
            if (enclosureList().some(enc => enc.Id === was))
                select.value = was;
            update();
        }

        function spawn(args) {
            return cockpit.spawn(args, Object.assign({ err: "message" }, ADMIN));
        }
        function folder() {
            return spawn(["mktemp", "-d", "/tmp/pxraid-cockpit-XXXXXX"]).then(out => out.trim());
        }
        function upload(dir, file) {
            const name = file.name.replace(/[^A-Za-z0-9._+-]/g, "_").replace(/^\.+/, "") || "firmware.bin";
            return file.arrayBuffer()
                    .then(bytes => cockpit.file(dir + "/" + name, Object.assign({ binary: true }, ADMIN))
                            .replace(new Uint8Array(bytes)))
                    .then(() => dir + "/" + name);
        }
        function offer(dir, name) {
            return cockpit.file(dir + "/" + name, Object.assign({ binary: true }, ADMIN)).read()
                    .then(bytes => {
                        const link = el("a", "px-download", name + " (" + bytes.length + " bytes)");
                        link.href = URL.createObjectURL(new Blob([bytes], { type: "application/octet-stream" }));
                        link.download = name;
                        link.setAttribute("data-bytes", String(bytes.length));
                        downloads.appendChild(link);
                        downloads.hidden = false;
                    });
        }

        // pxraid's lines as they come, and its outcome by its exit status.
        function run(what, args, dir, after) {
            busy = true;
            update();
            output.textContent = "";
            output.hidden = false;
            downloads.replaceChildren();
            downloads.hidden = true;
            tell(what + "…");
            const proc = cockpit.spawn(["pxraid"].concat(args), Object.assign({ err: "out" }, ADMIN));
            proc.stream(data => {
                output.textContent += data;
                output.scrollTop = output.scrollHeight;
            });
            const outcome = proc.then(() => (after ? after() : null))
                    .then(() => tell(what + ": done.", "done"),
                          error => tell(what + ": failed" +
                                        (error && error.exit_status !== undefined && error.exit_status !== null
                                            ? " (exit status " + error.exit_status + ")"
                                            : ": " + cockpit.message(error)) + ".", "failed"));
            return outcome.then(() => spawn(["rm", "-rf", dir]).catch(() => null))
                    .then(() => {
                        busy = false;
                        update();
                        ended();
                    });
        }

        function start(what, make) {
            busy = true;
            update();
            folder().then(make, error => {
                tell(what + ": " + cockpit.message(error), "failed");
                busy = false;
                update();
            });
        }

        backup.addEventListener("click", () => {
            const enc = chosen();
            if (!enc)
                return;
            const name = "flash-" + enc.Id + ".bin";
            start("Backup", dir => run("Backup", ["firmware", "backup", dir + "/" + name, "--enclosure", enc.Id], dir,
                                       () => offer(dir, name).then(() => offer(dir, name + ".sha256"))));
        });

        // Upgrade and restore ask first, in the page, what pxraid would ask.
        function ask(kind, files) {
            const enc = chosen();
            if (!enc || files.length === 0)
                return;
            const image = [...files].find(f => !f.name.endsWith(".sha256")) || files[0];
            question.textContent = "Erase and reprogram the flash of D" + enc.Device + " " + (enc.Name || "") +
                " (" + enc.Id + ", firmware " + (enc.Firmware || "?") + ") with " +
                (kind === "upgrade" ? "the firmware " : "the backup ") + image.name +
                "? The enclosure must not be switched off until it has ended.";
            pending = { kind: kind, enc: enc, image: image, files: [...files] };
            confirmBox.hidden = false;
        }
        upgrade.addEventListener("click", () => ask("upgrade", upgradeFile.files));
        restore.addEventListener("click", () => ask("restore", restoreFile.files));
        cancel.addEventListener("click", () => {
            pending = null;
            confirmBox.hidden = true;
        });
        go.addEventListener("click", () => {
            const job = pending;
            pending = null;
            confirmBox.hidden = true;
            if (!job)
                return;
            const what = job.kind === "upgrade" ? "Upgrade" : "Restore";
            // A backup's checksum file goes beside it, where pxraid looks.
            start(what, dir => Promise.all(job.files.map(f => upload(dir, f)))
                    .then(paths => run(what, ["firmware", job.kind, paths[job.files.indexOf(job.image)],
                                              "--enclosure", job.enc.Id, "--yes"], dir),
                          error => {
                              tell(what + ": the file could not be handed over: " + cockpit.message(error), "failed");
                              spawn(["rm", "-rf", dir]).catch(() => null);
                              busy = false;
                              update();
                          }));
        });
        for (const input of [select, upgradeFile, restoreFile])
            input.addEventListener("change", update);
        return refresh;
    }

    function start() {
        const stateLine = document.getElementById("service-state");
        const list = document.getElementById("enclosures");
        const overall = document.getElementById("overall");
        const version = document.getElementById("version");
        const events = document.getElementById("events");
        const noEvents = document.getElementById("no-events");
        const history = document.getElementById("history");
        const noHistory = document.getElementById("no-history");

        let running = null;
        let enclosures = null;
        let manager = null;
        const logFile = document.getElementById("log-file");
        const logLines = document.getElementById("log");
        const firmwareList = firmwareWork(() => (running && enclosures
            ? Object.keys(enclosures).map(path => enclosures[path]).filter(p => p.valid)
                    .sort((a, b) => (a.Device || 0) - (b.Device || 0))
            : []), () => loadLog());

        function say(text, kind) {
            stateLine.textContent = text;
            stateLine.className = "px-notice" + (kind ? " px-notice-" + kind : "");
            stateLine.hidden = !text;
        }

        function render() {
            list.replaceChildren();
            if (!running || !enclosures) {
                firmwareList();
                return;
            }
            const all = Object.keys(enclosures).map(path => enclosures[path])
                    .filter(p => p.valid)
                    .sort((a, b) => (a.Device || 0) - (b.Device || 0));
            for (const enc of all)
                list.appendChild(renderEnclosure(enc));
            if (all.length === 0)
                list.appendChild(el("p", "px-muted", "pxraidd sees no enclosure."));
            firmwareList();
            if (manager && manager.valid) {
                overall.hidden = false;
                overall.className = "px-badge " + healthClass(manager.Health);
                overall.textContent = healthWord(manager.Health);
                version.textContent = manager.Version ? "pxraidd " + manager.Version : "";
            }
        }

        // The history is read when the service appears and again a moment
        // after its events, which the history has recorded by then.
        let historyTimer = null;
        function showHistory(text) {
            history.replaceChildren();
            noHistory.hidden = false;
            noHistory.textContent = text;
        }
        function loadHistory() {
            if (!objects)
                return;
            const mine = generation;
            objects.call(ROOT, MANAGER, "GetHistory", ["", ""])
                    .then(reply => {
                        if (mine !== generation)
                            return;
                        const report = JSON.parse(reply[0]);
                        history.replaceChildren();
                        for (const entry of report.enclosures || [])
                            history.appendChild(renderPast(entry));
                        noHistory.hidden = history.children.length > 0;
                        noHistory.textContent = "The history holds no enclosure yet.";
                    }, error => mine === generation && showHistory("No history: " + cockpit.message(error)));
        }
        // The day's log, newest line last, as pxraid log shows it.
        function loadLog() {
            if (!objects)
                return;
            const mine = generation;
            objects.call(ROOT, MANAGER, "GetLog", [""])
                    .then(reply => {
                        if (mine !== generation)
                            return;
                        logFile.textContent = reply[0];
                        logLines.textContent = reply[1].join("\n");
                        logLines.hidden = reply[1].length === 0;
                        logLines.scrollTop = logLines.scrollHeight;
                    }, error => {
                        if (mine !== generation)
                            return;
                        logFile.textContent = "No log: " + cockpit.message(error);
                        logLines.hidden = true;
                    });
        }
        function historySoon() {
            if (historyTimer)
                window.clearTimeout(historyTimer);
            historyTimer = window.setTimeout(() => {
                historyTimer = null;
                loadHistory();
                loadLog();
            }, 500);
        }

        function showStopped() {
            running = false;
            overall.hidden = true;
            version.textContent = "";
            say("The pxraidd service is not running.", "warning");
            render();
        }

        function addEvent(enclosureId, name, severity, message) {
            const item = el("li", "px-event px-severity-" + (/^[a-z]+$/.test(severity) ? severity : "info"));
            const when = el("time", "px-event-time", new Date().toLocaleTimeString());
            when.dateTime = new Date().toISOString();
            item.appendChild(when);
            item.appendChild(el("span", "px-event-name", name));
            if (enclosureId)
                item.appendChild(el("span", "px-event-enclosure", enclosureId));
            item.appendChild(el("span", "px-event-message", message));
            events.insertBefore(item, events.firstChild);
            while (events.children.length > MAX_EVENTS)
                events.removeChild(events.lastChild);
            noEvents.hidden = true;
        }

        // The bus itself tells who owns the name, now and whenever that
        // changes: a client for a name nobody owns closes at once, so only
        // an owner's objects get a client of their own, made anew for each
        // owner (a service that stopped sends no InterfacesRemoved, and the
        // enclosures it had would stay). The events come through the bus's
        // client for as long as the page is open, so none is missed while
        // the objects' client is being made.
        const bus = cockpit.dbus(null, { bus: "system" });
        let owner;
        let generation = 0;
        let objects = null;

        function follow() {
            const mine = ++generation;
            const current = () => mine === generation;
            if (objects)
                objects.close();
            objects = cockpit.dbus(SERVICE, { bus: "system" });
            manager = objects.proxy(MANAGER, ROOT);
            manager.addEventListener("changed", () => current() && render());
            enclosures = objects.proxies(ENCLOSURE, ROOT);
            for (const what of ["added", "changed", "removed"])
                enclosures.addEventListener(what, () => current() && render());
            enclosures.wait(() => {
                if (current()) {
                    render();
                    loadHistory();
                    loadLog();
                }
            });
        }

        function ownerIs(name) {
            name = name || null;
            if (name === owner)
                return;
            owner = name;
            if (owner) {
                running = true;
                say("");
                follow();
            } else {
                generation++;
                if (objects)
                    objects.close();
                objects = null;
                enclosures = null;
                manager = null;
                showHistory("Not read: the service is not running.");
                logFile.textContent = "Not read: the service is not running.";
                logLines.hidden = true;
                showStopped();
            }
            render();
        }

        bus.addEventListener("close", (event, options) => {
            running = false;
            overall.hidden = true;
            say("Cannot reach the system bus: " + cockpit.message(options), "danger");
            render();
        });
        bus.subscribe({ name: SERVICE, interface: MANAGER, member: "Event", path: ROOT },
                      (path, iface, signal, args) => {
                          addEvent(args[0], args[1], args[2], args[3]);
                          historySoon();
                      });
        bus.subscribe({ name: "org.freedesktop.DBus", path: "/org/freedesktop/DBus",
                        interface: "org.freedesktop.DBus", member: "NameOwnerChanged", arg0: SERVICE },
                      (path, iface, signal, args) => ownerIs(args[2]));
        bus.call("/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", [SERVICE],
                 { name: "org.freedesktop.DBus" })
                .then(reply => ownerIs(reply[0]), () => ownerIs(null));
    }

    document.addEventListener("DOMContentLoaded", start);
}());

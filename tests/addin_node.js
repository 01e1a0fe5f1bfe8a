// Plays a workbook's add-in in JavaScript, as the real one runs: every frame
// from the master goes through JSON.parse, and the first one it refuses fails
// the run (exit code 1).
//
//   node addin_node.js <master url> <plan.json> <report.json>
//
// The plan: {"modules": {name: text}, "calls": [message, ...],
//            "office": {"<caller>.<name>": wire value}, "expect": [type, ...],
//            "timeout_ms": n}
// Once the kernel's connect work has ended (the master's "sync_custom_functions"),
// every call goes out at once; the run ends when each has its result (a
// streaming call: its result with "done") and a message of each "expect" type
// has come.
// The report file holds the results by request id, the Office.js requests
// answered, the messages of the "expect" types and the number of frames.
"use strict";
const fs = require("fs");
const WebSocket = require("ws");

const [url, planPath, reportPath] = process.argv.slice(2);
const plan = JSON.parse(fs.readFileSync(planPath, "utf8"));
const report = { results: {}, batched: [], streams: {}, office: [], expected: [], frames: 0 };
const waiting = new Set(plan.calls.map((call) => call.request_id));
const expected = new Set(plan.expect || []);
let started = false;

function fail(code, text) {
  process.stderr.write(text + "\n");
  process.exit(code);
}

const timer = setTimeout(
  () => fail(2, `timed out; no result for ${[...waiting].join(", ")}, no ${[...expected].join(", ")} ` +
    `after ${report.frames} frames`),
  plan.timeout_ms || 60000);

const ws = new WebSocket(url, { maxPayload: 512 * 1024 * 1024 });

function send(message) {
  ws.send(JSON.stringify(message));
}

function settle(rid) {
  waiting.delete(rid);
  if (started && waiting.size === 0 && expected.size === 0) {
    clearTimeout(timer);
    fs.writeFileSync(reportPath, JSON.stringify(report));
    ws.close();
  }
}

const answers = {
  get_modules_request: () => ({ type: "get_modules_response", modules: plan.modules }),
  get_functions_request: () => ({ type: "get_functions_response", functions: [] }),
  get_packages_request: () => ({ type: "get_packages_response", packages: [], python_paths: [] }),
  get_events_request: () => ({ type: "get_events_response" }),
  save_module_request: () => ({ type: "save_module_response", success: true }),
};

function onMessage(message) {
  const kind = message.type;
  if ((plan.expect || []).includes(kind)) {
    report.expected.push(message);
    expected.delete(kind);
    settle(undefined);
  } else if (answers[kind]) {
    send({ ...answers[kind](), request_id: message.request_id });
  } else if (kind === "sync_custom_functions" && !started) {
    started = true;
    plan.calls.forEach(send);
  } else if (kind === "function_execution_result") {
    report.results[message.request_id] = message;
    settle(message.request_id);
  } else if (kind === "batch_results") {
    for (const result of message.results) {
      report.results[result.request_id] = result;
      report.batched.push(result.request_id);
      settle(result.request_id);
    }
  } else if (kind === "streaming_function_result") {
    (report.streams[message.request_id] ||= []).push(message);
    if (message.done) settle(message.request_id);
  } else if (kind === "sys_request" && message.kind === "request") {
    // An Office.js request from user code in the kernel.
    report.office.push(message);
    const found = plan.office[`${message.caller}.${message.name}`];
    const answer = found && message.method === "GET"
      ? { ok: true, result: found }
      : { ok: true, result: { type: "Null", value: null, isSpec: false } };
    send({ type: "excel_response", requestId: message.requestId, ...answer });
  }
}

ws.on("message", (data, isBinary) => {
  report.frames += 1;
  const text = isBinary ? Buffer.from(data).toString("utf8") : data.toString();
  let message;
  try {
    message = JSON.parse(text);
  } catch (error) {
    // Enough of the frame to show what was refused: older Node.js names only
    // the position, which can lie past the first few results of a batch.
    fail(1, `JSON.parse refused frame ${report.frames}: ${error.message}: ${text.slice(0, 4096)}`);
  }
  onMessage(message);
});
ws.on("error", (error) => fail(3, `connection failed: ${error.message}`));
ws.on("close", () => {
  if (waiting.size > 0 || expected.size > 0 || !started) {
    fail(3, `connection closed early; waiting for ${[...waiting, ...expected].join(", ")}`);
  }
  process.exit(0);
});

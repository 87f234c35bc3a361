// The console's OpenAPI document through a real validator, and every route
// the console serves described in it: node openapi.mjs FILE
import { existsSync, readFileSync } from "node:fs";

// Without the packages (npm ci in this folder) the check is skipped: 77 for CTest.
if (!existsSync(new URL("node_modules/@seriousme/openapi-schema-validator", import.meta.url))) {
  console.log("skipped: npm ci --prefix tests/console/web installs the validator");
  process.exit(77);
}
const { Validator } = await import("@seriousme/openapi-schema-validator");

const file = process.argv[2];
const doc = JSON.parse(readFileSync(file, "utf8"));
const result = await new Validator().validate(doc);
if (!result.valid) {
  console.error(`${file} is not a valid OpenAPI document:`, JSON.stringify(result.errors, null, 1));
  process.exit(1);
}
const routes = {
  "/api/v1/health": ["get"], "/api/v1/session": ["post", "delete"], "/api/v1/screens": ["get"],
  "/api/v1/screens/{name}": ["get"], "/api/v1/screens/{name}/snapshot": ["get"],
  "/api/v1/messages": ["get", "post"], "/api/v1/events": ["get"],
  "/api/v1/openapi.json": ["get"], "/api/v1/colors": ["get"],
  "/api/v1/schedules": ["get", "post"], "/api/v1/schedules/{id}": ["delete"],
};
const described = Object.fromEntries(Object.entries(doc.paths).map(([p, ops]) => [p, Object.keys(ops).sort()]));
for (const [path, methods] of Object.entries(routes)) {
  if (JSON.stringify(described[path]) !== JSON.stringify(methods.sort())) {
    console.error(`${file}: ${path} should describe ${methods} but has ${described[path]}`);
    process.exit(1);
  }
}
console.log(`${file}: valid OpenAPI ${doc.openapi}, ${Object.keys(routes).length} routes`);

// Lists the tools of an MCP server started over standard input and output, with the official
// TypeScript SDK as the client, then calls "approve" once.
// Usage: node mcp_list_tools.mjs COMMAND [ARGS...]; prints {"tools": [...], "call": {...}} as JSON.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [command, ...args] = process.argv.slice(2);
const transport = new StdioClientTransport({ command, args, stderr: "inherit" });
const client = new Client({ name: "vellumar-tests", version: "1" });
await client.connect(transport);
const listed = await client.listTools();
const call = await client.callTool({
  name: "approve",
  arguments: { tool_name: "Write", input: { file_path: "/tmp/x" }, tool_use_id: "toolu_1" },
});
console.log(JSON.stringify({ tools: listed.tools, call, server: client.getServerVersion() }));
await client.close();

// Runs the SQL in the file named by the first argument with DuckDB (npm's @duckdb/node-api), in
// the working directory, and prints each row's values joined by "|", null as nothing.
import { readFileSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';

const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
const reader = await connection.runAndReadAll(readFileSync(process.argv[2], 'utf8'));
for (const row of reader.getRowsJS()) {
    console.log(row.map((value) => (value === null ? '' : String(value))).join('|'));
}

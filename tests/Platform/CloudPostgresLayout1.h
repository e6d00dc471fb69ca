// The first layout of the cloud database on PostgreSQL, as a build of that layout left it, for the suites
// that open it.
#pragma once

namespace vellumar::test {

// The first layout's tables as psql writes them, with a record of every kind at its limits (an asset
// of two parts), one without fields, a change after it, a deletion, a subscription and the account.
inline constexpr const char* kLayout1 = R"(CREATE SCHEMA :schema; SET search_path TO :schema;
CREATE TABLE zones(name TEXT PRIMARY KEY, epoch BIGINT NOT NULL);
CREATE TABLE records(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL, PRIMARY KEY(zone, name));
CREATE TABLE fields(zone TEXT NOT NULL, record TEXT NOT NULL, key TEXT NOT NULL, kind SMALLINT NOT NULL,
  text_value TEXT, number BIGINT, bytes BYTEA, PRIMARY KEY(zone, record, key));
CREATE TABLE assets(name TEXT NOT NULL, part INTEGER NOT NULL, bytes BYTEA NOT NULL, PRIMARY KEY(name, part));
CREATE TABLE changes(sequence BIGINT PRIMARY KEY, zone TEXT NOT NULL, record TEXT NOT NULL,
  deleted BOOLEAN NOT NULL, UNIQUE(zone, record));
CREATE TABLE subscriptions(id TEXT PRIMARY KEY, zone TEXT NOT NULL, record_type TEXT NOT NULL,
  content_available BOOLEAN NOT NULL, title_key TEXT, body_key TEXT, sound TEXT);
CREATE TABLE subscription_clauses(subscription TEXT NOT NULL, position INTEGER NOT NULL, key TEXT NOT NULL,
  value TEXT NOT NULL, PRIMARY KEY(subscription, position));
CREATE TABLE account(id INTEGER PRIMARY KEY CHECK(id = 1), status INTEGER NOT NULL,
  user_record_name TEXT NOT NULL);
CREATE TABLE queued_failures(id BIGSERIAL PRIMARY KEY, operation TEXT NOT NULL, code INTEGER NOT NULL,
  retry_after DOUBLE PRECISION, remaining INTEGER NOT NULL);
CREATE TABLE feed(id INTEGER PRIMARY KEY CHECK(id = 1), last_sequence BIGINT NOT NULL);
INSERT INTO account VALUES(1, 1, '_0123456789abcdef0123456789abcdef');
INSERT INTO zones VALUES('zone', 77);
INSERT INTO records VALUES('zone', 'kinds', 'Envelope'), ('zone', 'bare', 'Presence'), ('zone', 'later', 'Envelope');
INSERT INTO fields VALUES('zone', 'kinds', 'empty', 0, '', NULL, NULL),
  ('zone', 'kinds', 'text', 0, 'café "q" \', NULL, NULL),
  ('zone', 'kinds', 'date', 1, NULL, -1234567891, NULL),
  ('zone', 'kinds', 'least', 2, NULL, -9223372036854775808, NULL),
  ('zone', 'kinds', 'most', 2, NULL, 9223372036854775807, NULL),
  ('zone', 'kinds', 'bytes', 3, NULL, NULL, '\x00ff0080'), ('zone', 'kinds', 'none', 3, NULL, NULL, ''),
  ('zone', 'kinds', 'asset', 4, '0123456789abcdef0123456789abcdef', NULL, NULL),
  ('zone', 'later', 'to', 0, 'mac', NULL, NULL);
INSERT INTO assets VALUES('0123456789abcdef0123456789abcdef', 0, 'first '),
  ('0123456789abcdef0123456789abcdef', 1, 'second');
INSERT INTO changes VALUES(1, 'zone', 'kinds', false), (2, 'zone', 'bare', false), (3, 'zone', 'gone', true),
  (4, 'zone', 'later', false);
INSERT INTO feed VALUES(1, 4);
INSERT INTO subscriptions VALUES('mac-sub', 'zone', 'Envelope', true, NULL, NULL, NULL);
INSERT INTO subscription_clauses VALUES('mac-sub', 0, 'to', 'mac');
)";

}

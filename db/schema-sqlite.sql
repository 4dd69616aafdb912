-- Kestrel data source, SQLite flavour.
--
-- Every name is lower case; names with blanks or reserved words are double-quoted.
-- Booleans are SMALLINT 0/1 and never null. Other columns default to '' or 0,
-- so that an insert naming only a few columns reads back sensibly, but accept
-- null.
-- Times are text 'YYYY-MM-DD HH:MM:SS' in local time; null when unknown.
-- Names that paths and logins are matched against compare without regard to case.
-- Keep this file and schema-postgresql.sql in step.

BEGIN;

-- Domains (virtual hosts). The program adds the "Default" row itself.
CREATE TABLE "home" (
  "id"          INTEGER PRIMARY KEY AUTOINCREMENT,
  "ip"          VARCHAR(255)  DEFAULT '',
  "motd"        VARCHAR(2048) DEFAULT '',
  "name"        VARCHAR(255)  DEFAULT '' COLLATE NOCASE,
  "text footer" VARCHAR(512)  DEFAULT '',
  "text header" VARCHAR(512)  DEFAULT ''
);
CREATE INDEX "home_name" ON "home" ("name");
CREATE INDEX "home_ip" ON "home" ("ip");

CREATE TABLE "groups" (
  "id"      INTEGER PRIMARY KEY AUTOINCREMENT,
  "name"    VARCHAR(255) DEFAULT '' COLLATE NOCASE,
  "domain"  INTEGER      DEFAULT 0,
  "comment" VARCHAR(255) DEFAULT ''
);
CREATE INDEX "groups_domain_name" ON "groups" ("domain", "name");
CREATE INDEX "groups_name" ON "groups" ("name");

CREATE TABLE "users" (
  "id"                INTEGER PRIMARY KEY AUTOINCREMENT,
  "password"          VARCHAR(255)  DEFAULT '',
  "last on"           TIMESTAMP,
  "group"             INTEGER       DEFAULT 0,
  "downloads"         INTEGER       DEFAULT 0,
  "space limit"       INTEGER       DEFAULT 0,
  "uploads"           INTEGER       DEFAULT 0,
  "login"             VARCHAR(255)  DEFAULT '' COLLATE NOCASE,
  "address 1"         VARCHAR(255)  DEFAULT '',
  "address 2"         VARCHAR(255)  DEFAULT '',
  "city"              VARCHAR(255)  DEFAULT '',
  "country"           VARCHAR(255)  DEFAULT '',
  "name"              VARCHAR(255)  DEFAULT '',
  "postal"            VARCHAR(255)  DEFAULT '',
  "state"             VARCHAR(255)  DEFAULT '',
  "domain"            INTEGER       DEFAULT 0,
  "message"           VARCHAR(2048) DEFAULT '',
  "notes"             VARCHAR(2048) DEFAULT '',
  "locked"            SMALLINT      NOT NULL DEFAULT 0,
  "max users"         INTEGER       DEFAULT 0,
  "root directory"    INTEGER       DEFAULT 0,
  "start directory"   VARCHAR(255)  DEFAULT '',
  "ratio"             SMALLINT      DEFAULT 0,
  "sessionlimit"      SMALLINT      NOT NULL DEFAULT 0,
  "email"             VARCHAR(255)  DEFAULT '',
  "phonefax"          VARCHAR(255)  DEFAULT '',
  "phonehome"         VARCHAR(255)  DEFAULT '',
  "phonework"         VARCHAR(255)  DEFAULT '',
  "deleteownfiles"    SMALLINT      NOT NULL DEFAULT 0,
  "overwriteownfiles" SMALLINT      NOT NULL DEFAULT 0,
  "renameownfiles"    SMALLINT      NOT NULL DEFAULT 0
);
CREATE INDEX "users_domain_login" ON "users" ("domain", "login");
CREATE INDEX "users_login" ON "users" ("login");
CREATE INDEX "users_group" ON "users" ("group");

-- The virtual tree: directories, files and links.
CREATE TABLE "files" (
  "id"            INTEGER PRIMARY KEY AUTOINCREMENT,
  "created"       TIMESTAMP,
  "description"   VARCHAR(255) DEFAULT '',
  "directory"     SMALLINT     NOT NULL DEFAULT 0,
  "downloads"     INTEGER      DEFAULT 0,
  "group execute" SMALLINT     NOT NULL DEFAULT 0,
  "group read"    SMALLINT     NOT NULL DEFAULT 0,
  "group write"   SMALLINT     NOT NULL DEFAULT 0,
  "last read"     TIMESTAMP,
  "modified"      TIMESTAMP,
  "name"          VARCHAR(255) DEFAULT '' COLLATE NOCASE,
  "other execute" SMALLINT     NOT NULL DEFAULT 0,
  "other read"    SMALLINT     NOT NULL DEFAULT 0,
  "other write"   SMALLINT     NOT NULL DEFAULT 0,
  "parent"        INTEGER      DEFAULT 0,
  "path"          VARCHAR(255) DEFAULT '',
  "size"          BIGINT       DEFAULT 0,
  "title"         VARCHAR(255) DEFAULT '',
  "user execute"  SMALLINT     NOT NULL DEFAULT 0,
  "user read"     SMALLINT     NOT NULL DEFAULT 0,
  "user write"    SMALLINT     NOT NULL DEFAULT 0,
  "userid"        INTEGER      DEFAULT 0,
  "groupid"       INTEGER      DEFAULT 0,
  "domain"        INTEGER      DEFAULT 0,
  "link"          INTEGER      DEFAULT 0
);
-- Path walks look a name up under its parent on every command; listings
-- read a directory in (name, id) order straight from it (an index entry
-- ends with the rowid, which id is).
CREATE INDEX "files_parent_name" ON "files" ("parent", "name");
CREATE INDEX "files_userid" ON "files" ("userid");
CREATE INDEX "files_groupid" ON "files" ("groupid");
CREATE INDEX "files_domain" ON "files" ("domain");
CREATE INDEX "files_link" ON "files" ("link");
CREATE INDEX "files_path" ON "files" ("path");

-- IP admit/block list per domain. The id only serves the record-set layer's
-- updates and deletes by key.
CREATE TABLE "block" (
  "id"       INTEGER PRIMARY KEY AUTOINCREMENT,
  "domain"   INTEGER  DEFAULT 0,
  "sequence" INTEGER  DEFAULT 0,
  "allow"    SMALLINT NOT NULL DEFAULT 0,
  "ip1 lo"   INTEGER  DEFAULT 0,
  "ip1 hi"   INTEGER  DEFAULT 0,
  "ip2 lo"   INTEGER  DEFAULT 0,
  "ip2 hi"   INTEGER  DEFAULT 0,
  "ip3 lo"   INTEGER  DEFAULT 0,
  "ip3 hi"   INTEGER  DEFAULT 0,
  "ip4 lo"   INTEGER  DEFAULT 0,
  "ip4 hi"   INTEGER  DEFAULT 0
);
CREATE INDEX "block_domain_sequence" ON "block" ("domain", "sequence");

CREATE TABLE "log" (
  "id"          INTEGER PRIMARY KEY AUTOINCREMENT,
  "userid"      INTEGER      DEFAULT 0,
  "ip"          VARCHAR(255) DEFAULT '',
  "fileid"      INTEGER      DEFAULT 0,
  "actionid"    INTEGER      DEFAULT 0,
  "timestamp"   TIMESTAMP,
  "more"        VARCHAR(255) DEFAULT '',
  "otheruserid" INTEGER      DEFAULT 0
);
CREATE INDEX "log_timestamp" ON "log" ("timestamp");
CREATE INDEX "log_userid" ON "log" ("userid");

CREATE TABLE "site commands" (
  "id"   INTEGER PRIMARY KEY AUTOINCREMENT,
  "name" VARCHAR(255) DEFAULT '',
  "help" VARCHAR(255) DEFAULT ''
);

-- SITE rights: one row grants one command to one group.
CREATE TABLE "site list" (
  "id"        INTEGER PRIMARY KEY AUTOINCREMENT,
  "group id"  INTEGER DEFAULT 0,
  "site id"   INTEGER DEFAULT 0,
  "domain id" INTEGER DEFAULT 0
);
CREATE INDEX "site list_group id" ON "site list" ("group id");
CREATE INDEX "site list_domain id" ON "site list" ("domain id");

-- Scratch list of directory ids for a subtree deletion. "seq" is only the
-- order of insertion (an alias of the rowid), so that deeper directories can
-- be handed out first.
CREATE TABLE "tempdirusage" (
  "seq" INTEGER PRIMARY KEY,
  "id"  INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX "tempdirusage_id" ON "tempdirusage" ("id");

CREATE TABLE "action list" (
  "id"   INTEGER PRIMARY KEY AUTOINCREMENT,
  "name" VARCHAR(255) DEFAULT ''
);

-- Times keep whole seconds in one text form. A driver that binds a
-- timestamp parameter writes it with a fraction ('... 10:00:00.000'); cut it
-- back so that every reader sees 'YYYY-MM-DD HH:MM:SS'.
CREATE TRIGGER "files_times_insert" AFTER INSERT ON "files"
WHEN length(NEW."created") > 19 OR length(NEW."last read") > 19 OR length(NEW."modified") > 19
BEGIN
  UPDATE "files" SET "created" = substr("created", 1, 19), "last read" = substr("last read", 1, 19),
    "modified" = substr("modified", 1, 19) WHERE "id" = NEW."id";
END;
CREATE TRIGGER "files_times_update" AFTER UPDATE OF "created", "last read", "modified" ON "files"
WHEN length(NEW."created") > 19 OR length(NEW."last read") > 19 OR length(NEW."modified") > 19
BEGIN
  UPDATE "files" SET "created" = substr("created", 1, 19), "last read" = substr("last read", 1, 19),
    "modified" = substr("modified", 1, 19) WHERE "id" = NEW."id";
END;
CREATE TRIGGER "users_times_insert" AFTER INSERT ON "users"
WHEN length(NEW."last on") > 19
BEGIN
  UPDATE "users" SET "last on" = substr("last on", 1, 19) WHERE "id" = NEW."id";
END;
CREATE TRIGGER "users_times_update" AFTER UPDATE OF "last on" ON "users"
WHEN length(NEW."last on") > 19
BEGIN
  UPDATE "users" SET "last on" = substr("last on", 1, 19) WHERE "id" = NEW."id";
END;
CREATE TRIGGER "log_times_insert" AFTER INSERT ON "log"
WHEN length(NEW."timestamp") > 19
BEGIN
  UPDATE "log" SET "timestamp" = substr("timestamp", 1, 19) WHERE "id" = NEW."id";
END;
CREATE TRIGGER "log_times_update" AFTER UPDATE OF "timestamp" ON "log"
WHEN length(NEW."timestamp") > 19
BEGIN
  UPDATE "log" SET "timestamp" = substr("timestamp", 1, 19) WHERE "id" = NEW."id";
END;

-- Views. A missing owner, group or domain row never hides an entry: the
-- joins are outer and the missing name reads as ''.

CREATE VIEW "comment dir" AS
SELECT f."id"            AS "id",
       f."size"          AS "size",
       COALESCE(u."login", '') COLLATE NOCASE AS "login",
       f."title"         AS "title",
       f."modified"      AS "modified",
       f."name"          AS "files.name",
       COALESCE(g."name", '') COLLATE NOCASE AS "groups.name",
       f."directory"     AS "directory",
       f."group execute" AS "group execute",
       f."group read"    AS "group read",
       f."group write"   AS "group write",
       f."other execute" AS "other execute",
       f."other read"    AS "other read",
       f."other write"   AS "other write",
       f."parent"        AS "parent",
       f."user execute"  AS "user execute",
       f."user read"     AS "user read",
       f."user write"    AS "user write",
       f."userid"        AS "userid",
       f."groupid"       AS "groupid",
       f."domain"        AS "domain",
       f."link"          AS "link"
FROM "files" f
LEFT JOIN "users" u ON u."id" = f."userid"
LEFT JOIN "groups" g ON g."id" = f."groupid";

CREATE VIEW "directory" AS
SELECT f."directory"     AS "directory",
       f."name"          AS "files.name",
       f."group execute" AS "group execute",
       f."group read"    AS "group read",
       f."group write"   AS "group write",
       f."id"            AS "id",
       COALESCE(u."login", '') COLLATE NOCASE AS "login",
       f."modified"      AS "modified",
       f."other execute" AS "other execute",
       f."other read"    AS "other read",
       f."other write"   AS "other write",
       f."parent"        AS "parent",
       f."size"          AS "size",
       f."user execute"  AS "user execute",
       f."user read"     AS "user read",
       f."user write"    AS "user write",
       COALESCE(g."name", '') COLLATE NOCASE AS "groups.name",
       f."groupid"       AS "groupid",
       f."userid"        AS "userid",
       f."link"          AS "link",
       f."domain"        AS "domain",
       f."path"          AS "path",
       f."downloads"     AS "downloads"
FROM "files" f
LEFT JOIN "users" u ON u."id" = f."userid"
LEFT JOIN "groups" g ON g."id" = f."groupid";

-- Directory rows only, links to directories included, so that a subtree
-- walk also collects the link rows that live inside it.
CREATE VIEW "directory list" AS
SELECT f."id"        AS "id",
       f."name"      AS "name",
       f."parent"    AS "parent",
       f."domain"    AS "domain",
       f."link"      AS "link",
       f."directory" AS "directory"
FROM "files" f
WHERE f."directory" <> 0;

-- Children before parents: the set is filled parents first, so reversed
-- insertion order lets the physical directories be removed bottom-up.
CREATE VIEW "dirstodelete" AS
SELECT f."id"   AS "id",
       f."path" AS "path"
FROM "tempdirusage" t
JOIN "files" f ON f."id" = t."id"
ORDER BY t."seq" DESC;

-- Links from outside the set being deleted that point at a directory in it:
-- the target's name and physical path, and the login of the link's owner.
CREATE VIEW "dirusage" AS
SELECT d."name" AS "name",
       d."path" AS "path",
       COALESCE(u."login", '') COLLATE NOCASE AS "login",
       l."id"   AS "id",
       l."link" AS "link"
FROM "files" l
JOIN "files" d ON d."id" = l."link"
LEFT JOIN "users" u ON u."id" = l."userid"
WHERE l."link" IN (SELECT "id" FROM "tempdirusage")
  AND l."id" NOT IN (SELECT "id" FROM "tempdirusage")
  AND l."parent" NOT IN (SELECT "id" FROM "tempdirusage");

CREATE VIEW "fileusage" AS
SELECT f."userid"                   AS "userid",
       CAST(TOTAL(f."size") AS REAL) AS "sumofsize"
FROM "files" f
GROUP BY f."userid";

CREATE VIEW "group query" AS
SELECT g."name"    AS "groups.name",
       g."comment" AS "comment",
       COALESCE(h."name", '') COLLATE NOCASE AS "home.name",
       g."domain"  AS "home.id",
       g."id"      AS "groups.id",
       g."domain"  AS "domain"
FROM "groups" g
LEFT JOIN "home" h ON h."id" = g."domain";

-- Both copies of users are the acting user (log.userid): the report groups
-- its rows by user and heads each run with "users_1.login". Actions 8 (kick)
-- and 10 (user message) keep the other user's id in fileid, so no file name
-- is looked up for them; that user's login is offered as "otherlogin".
CREATE VIEW "log report" AS
SELECT l."id"          AS "id",
       l."userid"      AS "userid",
       l."ip"          AS "ip",
       l."timestamp"   AS "timestamp",
       l."actionid"    AS "actionid",
       l."fileid"      AS "fileid",
       l."otheruserid" AS "otheruserid",
       l."more"        AS "more",
       COALESCE(f."name", '') COLLATE NOCASE AS "files.name",
       COALESCE(a."name", '')                AS "action list.name",
       COALESCE(u."domain", 0)               AS "domain",
       COALESCE(u1."login", '') COLLATE NOCASE AS "users_1.login",
       COALESCE(u1."login", '') COLLATE NOCASE AS "login",
       COALESCE(o."login", '') COLLATE NOCASE  AS "otherlogin"
FROM "log" l
LEFT JOIN "files" f ON f."id" = l."fileid" AND l."actionid" NOT IN (8, 10)
LEFT JOIN "action list" a ON a."id" = l."actionid"
LEFT JOIN "users" u ON u."id" = l."userid"
LEFT JOIN "users" u1 ON u1."id" = l."userid"
LEFT JOIN "users" o ON o."id" = CASE WHEN l."actionid" IN (8, 10) THEN l."fileid" ELSE l."otheruserid" END;

CREATE VIEW "site usage" AS
SELECT c."id"        AS "id",
       c."name"      AS "name",
       c."help"      AS "help",
       s."group id"  AS "group id",
       s."domain id" AS "domain id"
FROM "site commands" c
JOIN "site list" s ON s."site id" = c."id";

CREATE VIEW "user and group" AS
SELECT u."id"      AS "id",
       u."login"   AS "login",
       COALESCE(g."name", '') COLLATE NOCASE AS "name",
       u."domain"  AS "domain",
       u."group"   AS "group"
FROM "users" u
LEFT JOIN "groups" g ON g."id" = u."group";

-- Count and byte total of each user's files (directories left out); users
-- without files read 0 and 0.
CREATE VIEW "user report" AS
SELECT u."id"        AS "id",
       u."domain"    AS "domain",
       u."login"     AS "login",
       u."last on"   AS "last on",
       u."group"     AS "group",
       u."uploads"   AS "uploads",
       u."downloads" AS "downloads",
       u."locked"    AS "locked",
       u."max users" AS "max users",
       u."address 1" AS "address 1",
       u."address 2" AS "address 2",
       u."city"      AS "city",
       u."state"     AS "state",
       u."postal"    AS "postal",
       u."country"   AS "country",
       CAST(COALESCE(s."sumofsize", 0) AS REAL)      AS "sumofsize",
       CAST(COALESCE(s."countofsize", 0) AS INTEGER) AS "countofsize",
       u."name"      AS "name",
       COALESCE(g."name", '') COLLATE NOCASE AS "groups.name"
FROM "users" u
LEFT JOIN (SELECT "userid", TOTAL("size") AS "sumofsize", COUNT(*) AS "countofsize"
           FROM "files" WHERE "directory" = 0 GROUP BY "userid") s ON s."userid" = u."id"
LEFT JOIN "groups" g ON g."id" = u."group";

-- "name" is the domain's name.
CREATE VIEW "userlist" AS
SELECT u."id"      AS "users.id",
       u."login"   AS "login",
       u."last on" AS "last on",
       COALESCE(h."name", '') COLLATE NOCASE AS "name",
       u."domain"  AS "home.id",
       u."group"   AS "group",
       u."domain"  AS "domain"
FROM "users" u
LEFT JOIN "home" h ON h."id" = u."domain";

-- Fixed rows. The program relies on the ids, not on the names.
INSERT INTO "site commands" ("id", "name", "help") VALUES
  (1,  'ALLOW', 'Unlock a user account'),
  (2,  'ANON',  'Allow or deny anonymous logins for the domain'),
  (3,  'CHGRP', 'Change the group of a file or directory'),
  (4,  'CHMOD', 'Change the permissions of a file or directory'),
  (5,  'CHOWN', 'Change the owner of a file or directory'),
  (6,  'DENY',  'Lock a user account'),
  (7,  'HELP',  'Help on SITE commands'),
  (8,  'KICK',  'Disconnect a session'),
  (9,  'MSG',   'Send a message to the console'),
  (10, 'UMSG',  'Send a message to another session'),
  (11, 'WHO',   'List the connected sessions');

INSERT INTO "action list" ("id", "name") VALUES
  (1,  'Upload'),
  (2,  'Download'),
  (3,  'Login'),
  (4,  'Logout'),
  (5,  'Chmod'),
  (6,  'Chgrp'),
  (7,  'Chown'),
  (8,  'Kick'),
  (9,  'Console Message'),
  (10, 'User Message'),
  (11, 'Rename'),
  (12, 'Delete');

COMMIT;

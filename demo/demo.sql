-- Demo production records: one table per day, SN first and send second.
-- The days are created out of date order on purpose: the viewer lists them
-- as the database holds them.
CREATE TABLE "2026-12-09" (SN TEXT, send INTEGER, station TEXT, voltage REAL, current_mA INTEGER,
                           result TEXT, operator TEXT, note TEXT);
INSERT INTO "2026-12-09" VALUES
  ('QOR2612090001', 1, 'ST-01', 12.03, 412, 'PASS', '张伟', NULL),
  ('QOR2612090002', 1, 'ST-01', 11.97, 409, 'PASS', '李娜', NULL),
  ('QOR2612090003', 0, 'ST-02', 10.41, 377, 'FAIL', '张伟', '电压偏低'),
  ('QOR2612090004', 1, 'ST-02', NULL, 415, 'PASS', 'Müller', 'sensor re-seated'),
  ('QOR2612090003', 1, 'ST-03', 12.01, 411, 'PASS', '王芳', '复测合格'),
  ('QOR2612090005', 0, 'ST-01', 12.10, NULL, NULL, NULL, NULL);

CREATE TABLE "2026-12-07" (SN TEXT, send INTEGER, station TEXT, voltage REAL, current_mA INTEGER,
                           result TEXT, operator TEXT, note TEXT);
INSERT INTO "2026-12-07" VALUES
  ('QOR2612070001', 1, 'ST-01', 12.00, 410, 'PASS', '李娜', NULL),
  ('QOR2612070002', 1, 'ST-02', 11.88, 405, 'PASS', '王芳', NULL),
  ('QOR2612070003', 1, 'ST-02', 9.75, 350, 'FAIL', '张伟', '短路测试未通过');

CREATE TABLE "2026-12-10" (SN TEXT, send INTEGER, station TEXT, voltage REAL, current_mA INTEGER,
                           result TEXT, operator TEXT, temperature REAL, firmware TEXT);
INSERT INTO "2026-12-10" VALUES
  ('QOR2612100001', 1, 'ST-01', 12.05, 413, 'PASS', '王芳', 24.5, 'v2.1.0'),
  ('QOR2612100002', 0, 'ST-03', 12.02, 410, 'PASS', 'Müller', 25.1, 'v2.1.0'),
  ('QOR2612100003', 1, 'ST-03', 11.20, 398, 'FAIL', '李娜', 31.7, 'v2.0.9'),
  ('QOR2612100004', 1, 'ST-01', 12.00, 411, 'PASS', '张伟', NULL, 'v2.1.0');

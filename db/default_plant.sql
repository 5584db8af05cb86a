-- The signal layout and calibrations of the default plant (docs/DEFAULT_PLANT.md), for the
-- database that db/schema.sql created; run it after the schema, in the same database:
--
--   cat db/schema.sql db/default_plant.sql | mariadb
--   mariadb kalvix < db/default_plant.sql
--
-- It never overwrites a plant's own layout: `signal` is filled only while it is empty, and
-- a signal receives calibration points only while it has none.

CREATE TEMPORARY TABLE `default_signal` LIKE `signal`;
INSERT INTO `default_signal`
  (`BusName`, `SignalName`, `DevNum`, `Addr`, `Kind`, `InverseBytes`, `InverseWords`, `Direction`)
VALUES
  -- JUMO controller 1 (Modbus slave 1): the density loop of the magnetite suspension.
  -- Floats in the controller's own order: low word first, each word high byte first.
  ('JUMO', 'PLS',     1, 53, 1, 1, 1, 'READ'),   -- density meter, mA
  ('JUMO', 'Y_VODA',  1, 71, 1, 1, 1, 'READ'),   -- controller output: water valve, %
  ('JUMO', 'UR_SUSP', 1, 40, 0, 0, 0, 'READ'),   -- suspension sump level, 0.1 %
  ('JUMO', '_PLSZ',   1,  8, 1, 1, 1, 'WRITE'),  -- density set-point
  -- JUMO controller 2 (Modbus slave 2): flows and pressure of the separation circuit.
  -- Floats in the usual Modbus order: high word first.
  ('JUMO', 'Q_SUSP',  2, 53, 1, 1, 0, 'READ'),   -- suspension flow to the cyclones, mA
  ('JUMO', 'Q_VODA',  2, 71, 1, 1, 0, 'READ'),   -- process water flow, mA
  ('JUMO', 'P_GC',    2, 73, 1, 1, 0, 'READ'),   -- cyclone feed pressure, mA
  ('JUMO', 'UR_MAGN', 2, 40, 0, 0, 0, 'READ'),   -- magnetite make-up sump level, 0.1 %
  -- V120 (unit 1): drives and feed of the plant. MI = 16-bit, ML = 32-bit, MB = bit.
  ('V120', 'G2',      1, 20, 2, 0, 0, 'READ'),   -- ML 20: concentrate belt counter, 0.1 t
  ('V120', 'G41',     1, 21, 2, 0, 0, 'READ'),   -- ML 21: rejects belt counter, 0.1 t
  ('V120', 'G_1T1',   1, 22, 2, 0, 0, 'READ'),   -- ML 22: feed belt 1, minute tonnage, 0.1 t
  ('V120', 'I_NAS1',  1, 100, 0, 0, 0, 'READ'),  -- MI 100: suspension pump current
  ('V120', 'I_NAS2',  1, 101, 0, 0, 0, 'READ'),  -- MI 101: product pump current
  ('V120', 'I_SEP',   1, 102, 0, 0, 0, 'READ'),  -- MI 102: magnetic separator drum current
  ('V120', 'UR_BUNK', 1, 103, 0, 0, 0, 'READ'),  -- MI 103: feed bin level
  ('V120', 'F_PIT',   1, 104, 0, 0, 0, 'READ'),  -- MI 104: feeder drive frequency, 0.1 Hz
  ('V120', 'PIT_ON',  1, 10, 3, 0, 0, 'READ'),   -- MB 10: feeder running
  ('V120', '_TNZ',    1, 110, 0, 0, 0, 'WRITE'), -- MI 110: plant load set-point, t/h
  ('V120', '_TNK23',  1, 111, 0, 0, 0, 'WRITE'), -- MI 111: measured feed rate, t/h
  -- BK-003 belt weigher on the feed belt 23 (device 1); Addr is the byte offset of the
  -- value in the weigher's 14-byte answer.
  ('BK',   'BKK23',   1,  1, 3, 0, 0, 'READ'),   -- status byte AND bkk23_mask: belt running
  ('BK',   'G23',     1,  4, 2, 0, 0, 'READ'),   -- feed counter, 0.1 t
  ('BK',   'TNK23',   1,  8, 0, 0, 0, 'READ'),   -- feed rate, 0.1 t/h
  -- Calculated by the service.
  ('CALC', 'RAB',     0,  0, 1, 0, 0, ''),       -- plant working: PLS above MIN_PLS
  ('CALC', 'RN',      0,  0, 1, 0, 0, ''),       -- plant under load: RAB and TNK23 above MIN_NAGR
  ('CALC', 'G_1T2',   0,  0, 1, 0, 0, ''),       -- concentrate in the minute, t
  ('CALC', 'G_1T23',  0,  0, 1, 0, 0, ''),       -- feed in the minute, t
  ('CALC', 'G_1T41',  0,  0, 1, 0, 0, '');       -- rejects in the minute, t

INSERT INTO `signal`
SELECT d.* FROM `default_signal` d
WHERE NOT EXISTS (SELECT 1 FROM `signal`);
DROP TEMPORARY TABLE `default_signal`;

CREATE TEMPORARY TABLE `default_kalibr` LIKE `kalibr`;
INSERT INTO `default_kalibr` (`SignalName`, `AVal`, `FVal`) VALUES
  -- Radiometric density meter, 4-20 mA: slightly non-linear, five points, g/cm3.
  ('PLS', 4, 1.200), ('PLS', 8, 1.390), ('PLS', 12, 1.585), ('PLS', 16, 1.790), ('PLS', 20, 2.000),
  ('Y_VODA', 0, 0), ('Y_VODA', 100, 100),              -- %
  ('UR_SUSP', 0, 0), ('UR_SUSP', 1000, 100),           -- %
  ('_PLSZ', 0, 0), ('_PLSZ', 100, 100),
  ('Q_SUSP', 4, 0), ('Q_SUSP', 20, 400),               -- m3/h
  ('Q_VODA', 4, 0), ('Q_VODA', 20, 120),               -- m3/h
  ('P_GC', 4, 0), ('P_GC', 20, 250),                   -- kPa
  ('UR_MAGN', 0, 0), ('UR_MAGN', 1000, 100),           -- %
  -- Counters pass unchanged, in 0.1 t; the minute tonnage of belt 1 in t.
  ('G2', 0, 0), ('G2', 1000000, 1000000),
  ('G41', 0, 0), ('G41', 1000000, 1000000),
  ('G_1T1', 0, 0), ('G_1T1', 1000, 100),               -- t
  -- V120 analogue inputs, 10 bits over 4-20 mA.
  ('I_NAS1', 0, 0), ('I_NAS1', 1023, 250),             -- A
  ('I_NAS2', 0, 0), ('I_NAS2', 1023, 160),             -- A
  ('I_SEP', 0, 0), ('I_SEP', 1023, 100),               -- A
  ('UR_BUNK', 0, 0), ('UR_BUNK', 1023, 100),           -- %
  ('F_PIT', 0, 0), ('F_PIT', 500, 50),                 -- Hz
  ('PIT_ON', 0, 0), ('PIT_ON', 1, 1),
  ('_TNZ', 0, 0), ('_TNZ', 100, 100),
  ('_TNK23', 0, 0), ('_TNK23', 100, 100),
  ('BKK23', 0, 0), ('BKK23', 1, 1),
  ('G23', 0, 0), ('G23', 1000000, 1000000),
  ('TNK23', 0, 0), ('TNK23', 10000, 1000),             -- t/h
  ('RAB', 0, 0), ('RAB', 100, 100),
  ('RN', 0, 0), ('RN', 100, 100),
  ('G_1T2', 0, 0), ('G_1T2', 100, 100),
  ('G_1T23', 0, 0), ('G_1T23', 100, 100),
  ('G_1T41', 0, 0), ('G_1T41', 100, 100);

INSERT INTO `kalibr` (`SignalName`, `AVal`, `FVal`)
SELECT d.`SignalName`, d.`AVal`, d.`FVal` FROM `default_kalibr` d
WHERE NOT EXISTS (SELECT 1 FROM `kalibr` k WHERE k.`SignalName` = d.`SignalName`);
DROP TEMPORARY TABLE `default_kalibr`;

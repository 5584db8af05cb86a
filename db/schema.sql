-- KALVIX database: the seven tables shared by the reception service and the plant's other
-- programs, for the default plant described in docs/DEFAULT_PLANT.md.
--
--   cat db/schema.sql db/default_plant.sql | mariadb
--
-- creates the database `kalvix` with its tables and fills the signal layout and the
-- calibrations. Running it again changes nothing: tables that exist are left as they are.
-- The database name appears only in the two lines below; a test that wants a scratch copy
-- replaces `kalvix` there.
--
-- `signal` is a reserved word of MariaDB and MySQL: every statement must quote it.
-- Signal columns of `pu_data` and `last_state` are named exactly as the signals and are
-- used unquoted by the plant's programs, so signal names are plain identifiers
-- (letters, digits, underscore) that are not reserved words.

CREATE DATABASE IF NOT EXISTS `kalvix` CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE `kalvix`;

-- The signal layout, one row per signal. Rows are inserted without a column list, so the
-- column order is part of the contract. Names are unique regardless of letter case, as
-- the service looks them up and as the columns named after them are.
CREATE TABLE IF NOT EXISTS `signal` (
  `BusName`      CHAR(10)  NOT NULL,          -- CALC, ICP, V120, JUMO or BK
  `SignalName`   CHAR(20)  NOT NULL,          -- also the column name in pu_data, last_state
  `DevNum`       SMALLINT  NULL,              -- device number on its bus
  `Addr`         INT       NULL,              -- register or operand address
  `Kind`         SMALLINT  NULL,              -- 0 INT, 1 FLOAT, 2 LONG, 3 BIT
  `InverseBytes` SMALLINT  NULL,              -- 1: bytes of a 16-bit word reversed
  `InverseWords` SMALLINT  NULL,              -- 1: words of a 32-bit value reversed
  `Direction`    CHAR(10)  NULL,              -- READ, WRITE or empty (calculated)
  PRIMARY KEY (`SignalName`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Calibration points: hardware value AVal to physical value FVal, read per signal in
-- ascending AVal. A point without both values means nothing, so neither may be NULL.
CREATE TABLE IF NOT EXISTS `kalibr` (
  `SignalName` VARCHAR(20) NOT NULL,
  `AVal`       DOUBLE      NOT NULL,
  `FVal`       DOUBLE      NOT NULL,
  KEY `kalibr_signal` (`SignalName`, `AVal`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Named plant constants (MIN_PLS, MIN_NAGR). The service adds a missing constant itself;
-- the key keeps one row per name even when it adds one that already exists.
CREATE TABLE IF NOT EXISTS `setup` (
  `ConstName` VARCHAR(64)  NOT NULL,
  `ConstVal`  DOUBLE       NULL,
  `Comment`   VARCHAR(255) NULL,
  PRIMARY KEY (`ConstName`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Minute history: one row per minute (the key), one column per signal holding the
-- minute's averaged value; G_1T2, G_1T23, G_1T41 hold the counters' increase times 0.1.
-- A new signal gets its column with scripts/add-signal-column.sh.
CREATE TABLE IF NOT EXISTS `pu_data` (
  `RecMoment` DATETIME NOT NULL,
  `PLS`       DOUBLE NULL,
  `Y_VODA`    DOUBLE NULL,
  `Q_SUSP`    DOUBLE NULL,
  `Q_VODA`    DOUBLE NULL,
  `UR_SUSP`   DOUBLE NULL,
  `P_GC`      DOUBLE NULL,
  `UR_MAGN`   DOUBLE NULL,
  `_PLSZ`     DOUBLE NULL,
  `TNK23`     DOUBLE NULL,
  `G23`       DOUBLE NULL,
  `BKK23`     DOUBLE NULL,
  `G2`        DOUBLE NULL,
  `G41`       DOUBLE NULL,
  `G_1T1`     DOUBLE NULL,
  `I_NAS1`    DOUBLE NULL,
  `I_NAS2`    DOUBLE NULL,
  `I_SEP`     DOUBLE NULL,
  `UR_BUNK`   DOUBLE NULL,
  `F_PIT`     DOUBLE NULL,
  `PIT_ON`    DOUBLE NULL,
  `_TNZ`      DOUBLE NULL,
  `_TNK23`    DOUBLE NULL,
  `RAB`       DOUBLE NULL,
  `RN`        DOUBLE NULL,
  `G_1T2`     DOUBLE NULL,
  `G_1T23`    DOUBLE NULL,
  `G_1T41`    DOUBLE NULL,
  PRIMARY KEY (`RecMoment`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- The current state: a single row, rewritten every second without a WHERE clause. The
-- service inserts the row when the table is empty. Signals written to devices (Direction
-- WRITE: _PLSZ, _TNZ, _TNK23) have no column here.
CREATE TABLE IF NOT EXISTS `last_state` (
  `RecMoment` DATETIME NULL,
  `PLS`       DOUBLE NULL,
  `Y_VODA`    DOUBLE NULL,
  `Q_SUSP`    DOUBLE NULL,
  `Q_VODA`    DOUBLE NULL,
  `UR_SUSP`   DOUBLE NULL,
  `P_GC`      DOUBLE NULL,
  `UR_MAGN`   DOUBLE NULL,
  `TNK23`     DOUBLE NULL,
  `G23`       DOUBLE NULL,
  `BKK23`     DOUBLE NULL,
  `G2`        DOUBLE NULL,
  `G41`       DOUBLE NULL,
  `G_1T1`     DOUBLE NULL,
  `I_NAS1`    DOUBLE NULL,
  `I_NAS2`    DOUBLE NULL,
  `I_SEP`     DOUBLE NULL,
  `UR_BUNK`   DOUBLE NULL,
  `F_PIT`     DOUBLE NULL,
  `PIT_ON`    DOUBLE NULL,
  `RAB`       DOUBLE NULL,
  `RN`        DOUBLE NULL,
  `G_1T2`     DOUBLE NULL,
  `G_1T23`    DOUBLE NULL,
  `G_1T41`    DOUBLE NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Operator set-points; the newest row is the task in force. Its columns are read by three
-- separate queries on its moment, so the moment is the key: two tasks in one second would
-- otherwise let those queries mix values of different rows.
CREATE TABLE IF NOT EXISTS `control_vector` (
  `RecMoment` DATETIME     NOT NULL,
  `UserName`  VARCHAR(255) NULL,            -- the server's USER() of whoever stored it
  `_PLSZ`     DOUBLE       NULL,            -- set density of the suspension, g/cm3
  `_TNZ`      DOUBLE       NULL,            -- set plant load, t/h
  PRIMARY KEY (`RecMoment`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- The journal. NPP separates rows of one second but is not unique (it is the millisecond
-- part of the moment, raised by one on a collision), so the key is not unique either.
CREATE TABLE IF NOT EXISTS `control_log` (
  `RecMoment`   DATETIME     NOT NULL,
  `NPP`         INT          NOT NULL,      -- 0 to 1000
  `MessageText` TEXT         NOT NULL,
  `MessageKind` VARCHAR(255) NULL,          -- the source; NULL when none
  KEY `control_log_moment` (`RecMoment`, `NPP`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

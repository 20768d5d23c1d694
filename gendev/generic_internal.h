/*
 * The library's own view of its area inside the board's extension, and the
 * request helpers its PnP and power handlers share.
 */
#pragma once

#include "gendev.h"

/* Where the board is in its PnP life; the query states remember the state
   a cancel returns to. */
enum GenericBoardState {
    GenericNotStarted,
    GenericStarted,
    GenericStopPending,
    GenericStopped,
    GenericRemovePending,
    GenericSurpriseRemoved,
    GenericRemoved
};

struct GenericArea {
    GenericInitRecord Record;      /* the client's record, kept as given */
    PIO_REMOVE_LOCK RemoveLock;
    GenericBoardState State;
    GenericBoardState StateBeforeQuery;
    BOOLEAN StopOwed;              /* a START reached us since the last StopDevice */
    PIRP PendingSystemIrp;         /* the system set-power request waiting for its device request */
};

inline GenericArea *AreaOf(PVOID area) { return static_cast<GenericArea *>(area); }

/* Completes Irp with Status and returns it. */
NTSTATUS GenericCompleteRequest(PIRP Irp, NTSTATUS Status);

/* Sends Irp to Lower and waits until it is back, still ours to complete:
   returns the lower drivers' status. PASSIVE_LEVEL only. */
NTSTATUS GenericForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp);

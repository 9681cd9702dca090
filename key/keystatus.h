#pragma once

// Key status enumerations carried from the main window to the packing page.

// Derived by the main window from the key's progress values.
enum eKeyCurrentStatus
{
    OPERATION_STARTED = 0,
    OPERATION_BUSY = 1,
    OPERATION_DONE = 3,
    TRANSFER_STARTED = 4,
    TRANSFER_BUSY = 5,
    TRANSFER_DONE = 7,
};

namespace KeyStatus {
enum eTransferStatus
{
    TransferIdle = 0,
    TransferBusy = 1,
    TransferDone = 2,
};
} // namespace KeyStatus

namespace KeyOperation {
enum eOperationStatus
{
    OperationIdle = 0,
    OperationBusy = 1,
    OperationDone = 2,
};
} // namespace KeyOperation

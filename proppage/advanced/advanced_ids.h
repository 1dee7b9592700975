// Control identifiers of the Advanced Communications Port Properties dialog (dialog 16).
// Plain #defines only: the resource script includes this header through windres.
#ifndef CORPAGE_ADVANCED_IDS_H
#define CORPAGE_ADVANCED_IDS_H

#define IDC_RX_TRACKBAR 821
#define IDC_TX_TRACKBAR 842
#define IDC_DEFAULTS 844
#define IDC_PORT_NUMBER 846
#define IDC_RX_CAPTION 890
#define IDC_TX_CAPTION 891
#define IDC_PORT_NUMBER_LABEL 895
#define IDC_FIFO64 1039

// The four Low/High labels beside the trackbars.
#define IDC_RX_LOW_LABEL 830
#define IDC_RX_HIGH_LABEL 831
#define IDC_TX_LOW_LABEL 832
#define IDC_TX_HIGH_LABEL 833

#endif

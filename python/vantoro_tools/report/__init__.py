"""What people look at: the QC report page (self-contained HTML with its
figure descriptions and the script that draws them), spectrum plots and
chromatogram files. Every file goes through the output layer."""
